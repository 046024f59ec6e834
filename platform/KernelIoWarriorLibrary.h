// The IO-Warrior library on the Linux kernel's `iowarrior` driver, without the vendor's library:
// every controller is a pair of device nodes, interface 0 for the pin report and interface 1 for
// the special-mode reports, which this backend finds, pairs and presents as one handle.
#ifndef ZENTRIX_PLATFORM_KERNELIOWARRIORLIBRARY_H
#define ZENTRIX_PLATFORM_KERNELIOWARRIORLIBRARY_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/IoWarriorLibrary.h"
#include "platform/LinuxDeviceNodes.h"

namespace zentrix {

inline constexpr const char* kDefaultIowarriorDirectory = "/dev/usb";

// Controllers come in the order of their interface-0 nodes' minor numbers. A controller is used
// only when both its nodes open; a node that is busy, forbidden or gone takes its controller out.
// Writes and reads of a controller whose node reports ENODEV, POLLHUP or POLLERR fail from then
// on, as an unplugged box should. No call throws. Transfers on different controllers run in
// parallel: each controller has a mutex of its own, and the table's lock is held only to look a
// handle up, never during a transfer.
class KernelIoWarriorLibrary final : public IoWarriorLibrary {
public:
    // Reads before any read timeout is set wait this long.
    static constexpr std::uint32_t kDefaultTimeoutMs = 1000;

    // The nodes and the clock must outlive the library.
    KernelIoWarriorLibrary(std::string directory, DeviceNodes& nodes, Clock& clock);
    ~KernelIoWarriorLibrary() override;
    KernelIoWarriorLibrary(const KernelIoWarriorLibrary&) = delete;
    KernelIoWarriorLibrary& operator=(const KernelIoWarriorLibrary&) = delete;

    IowHandle OpenDevice() override;
    void CloseDevice(IowHandle handle) override;
    std::int32_t GetNumDevs() override;
    IowHandle GetDeviceHandle(std::int32_t numDevice) override;
    bool GetSerialNumber(IowHandle handle, char16_t* serialNumber) override;
    std::uint32_t GetProductId(IowHandle handle) override;
    std::uint32_t Write(IowHandle handle, std::uint32_t pipe, const std::uint8_t* buffer,
                        std::uint32_t length) override;
    std::uint32_t Read(IowHandle handle, std::uint32_t pipe, std::uint8_t* buffer,
                       std::uint32_t length) override;
    void SetWriteTimeout(IowHandle handle, std::uint32_t timeoutMs) override;
    void SetTimeout(IowHandle handle, std::uint32_t timeoutMs) override;

    const std::string& Directory() const { return m_directory; }

    // What the last OpenDevice found at one device node, for tools that explain a missing box.
    struct NodeReport {
        std::string path;
        // Whether the node opened and answered the driver's info query.
        bool identified = false;
        std::string serial;
        std::uint32_t productId = 0;
        std::uint32_t interfaceNumber = 0;
        // Empty when the node serves a controller; otherwise why it does not.
        std::string problem;
        // The errno of a failed open, else 0.
        int openError = 0;
    };
    // Whether the last OpenDevice could list the directory, and why not.
    struct Discovery {
        bool listed = false;
        std::string listError;
        std::vector<NodeReport> nodes;
    };
    Discovery GetLastDiscovery() const;

    struct Controller;

private:
    // One report transfer's controller, held locked, and the node its pipe goes to.
    struct Transfer {
        std::shared_ptr<Controller> controller;
        std::unique_lock<std::mutex> lock;
        bool pins = false;
        int fd = -1;
        const std::string* path = nullptr;
    };

    std::shared_ptr<Controller> Find(IowHandle handle);
    // The driver only submits a write, and the two interfaces' transfers travel apart, so a pin
    // report is followed by read-backs of the pins on interface 1 until one shows it arrived (or
    // the write timeout passes): a special-mode report written after it then reaches the box
    // after it. Caller holds the controller's lock.
    void ConfirmPinReport(Controller& controller, const std::uint8_t* pins);
    // Locks the controller of a usable handle, pipe and buffer; false when there is nothing to
    // transfer to (unknown handle, bad arguments, a controller gone).
    bool BeginTransfer(IowHandle handle, std::uint32_t pipe, const void* buffer,
                       std::uint32_t length, Transfer& transfer);
    void CloseAll() noexcept;

    const std::string m_directory;
    DeviceNodes& m_nodes;
    Clock& m_clock;

    // Guards the table and the last discovery; each controller's transfers are guarded by its own
    // mutex.
    mutable std::mutex m_mutex;
    Discovery m_lastDiscovery;
    std::vector<std::shared_ptr<Controller>> m_controllers;
    // Handles are numbers never used twice, so a handle kept past a close matches nothing.
    std::map<std::uintptr_t, std::shared_ptr<Controller>> m_byHandle;
    std::uintptr_t m_nextHandle = 1;
};

}  // namespace zentrix

#endif
