// One IO-Warrior 56 as a USB gadget: the device made in configfs, its two interfaces served by one
// FunctionFS function, bound to (plugged into) an emulated bus's device controller and unbound
// from it again.
#ifndef ZENTRIX_SIMULATOR_USB_FUNCTIONFSGADGET_H
#define ZENTRIX_SIMULATOR_USB_FUNCTIONFSGADGET_H

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

namespace zentrix::usb {

class GadgetError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct GadgetIdentity {
    // The gadget's directory name under configfs and its FunctionFS instance name.
    std::string name;
    // The device controller it plugs into, such as "dummy_udc.0".
    std::string udc;
    // Exactly eight characters, or the driver reports none.
    std::string serial;
    std::uint16_t vendorId = 0x07C0;
    std::uint16_t productId = 0x1503;
    std::uint16_t revision = 0x1021;
};

// The endpoint files, in the order of the descriptors written to ep0.
enum class Endpoint { PinsIn = 1, PinsOut = 2, SpecialIn = 3, SpecialOut = 4 };

inline constexpr std::uint32_t kPinReportBytes = 7;
inline constexpr std::uint32_t kPinPacketBytes = 8;
inline constexpr std::uint32_t kSpecialReportBytes = 64;

// Every step throws GadgetError naming the file that failed; the destructor undoes whatever was
// made, in reverse order, and never throws.
class FunctionFsGadget {
public:
    FunctionFsGadget(GadgetIdentity identity, std::filesystem::path mountDirectory);
    ~FunctionFsGadget();
    FunctionFsGadget(const FunctionFsGadget&) = delete;
    FunctionFsGadget& operator=(const FunctionFsGadget&) = delete;

    const GadgetIdentity& Identity() const { return m_identity; }
    // The endpoint's file, opened non-blocking so that I/O on an endpoint the host has not
    // enabled fails at once instead of waiting.
    int EndpointFile(Endpoint endpoint) const;

    // Plugging in and pulling out, as writing the controller's name or an empty line to the
    // gadget's UDC file does.
    void Plug();
    void Unplug() noexcept;
    bool IsPlugged() const;

    // Whether the host has configured the device, so that its endpoints carry reports; changes
    // with the events ep0 delivers.
    bool IsEnabled() const { return m_enabled.load(); }
    // Counts enables, so that a user of the endpoints sees a new connection.
    std::uint64_t Connections() const { return m_connections.load(); }
    // Class requests the host sent and the gadget acknowledged (the driver's SET_IDLE at probe).
    std::uint64_t AcknowledgedRequests() const { return m_acknowledged.load(); }

    // The gadget's directory under configfs.
    std::filesystem::path GadgetDirectory() const;

private:
    void MakeDevice();
    void MountFunctionFs();
    void WriteDescriptors();
    void ServeEp0();
    void RemoveAll() noexcept;

    GadgetIdentity m_identity;
    std::filesystem::path m_mountDirectory;
    bool m_made = false;
    bool m_linked = false;
    bool m_mounted = false;
    int m_ep0 = -1;
    int m_endpoints[4] = {-1, -1, -1, -1};
    std::atomic<bool> m_enabled{false};
    std::atomic<std::uint64_t> m_connections{0};
    std::atomic<std::uint64_t> m_acknowledged{0};
    std::atomic<bool> m_stopping{false};
    std::thread m_ep0Thread;
};

}  // namespace zentrix::usb

#endif
