#include "simulator/usb/FunctionFsGadget.h"

#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <poll.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <system_error>

namespace zentrix::usb {

namespace fs = std::filesystem;

namespace {

const fs::path kConfigFsGadgets = "/sys/kernel/config/usb_gadget";
constexpr const char* kConfiguration = "c.1";
constexpr int kEp0PollMs = 100;

std::string ErrnoText(int error) {
    return std::system_category().message(error);
}

void WriteText(const fs::path& file, const std::string& text) {
    std::ofstream out(file);
    out << text << '\n';
    out.flush();
    if (!out) {
        throw GadgetError("cannot write " + file.string() + ": " + ErrnoText(errno));
    }
}

std::string Hex4(std::uint16_t value) {
    std::array<char, 8> text{};
    std::snprintf(text.data(), text.size(), "0x%04x", value);
    return text.data();
}

void MakeDirectory(const fs::path& directory) {
    std::error_code error;
    fs::create_directory(directory, error);
    if (error) {
        throw GadgetError("cannot make " + directory.string() + ": " + error.message());
    }
}

void WriteAll(int fd, const void* data, std::size_t size, const std::string& what) {
    const ssize_t written = ::write(fd, data, size);
    if (written != static_cast<ssize_t>(size)) {
        throw GadgetError("cannot write the " + what + " to ep0: " +
                          (written < 0 ? ErrnoText(errno) : std::string("short write")));
    }
}

// The interfaces of an IO-Warrior 56 as FunctionFS takes them: each an HID interface with an
// interrupt IN endpoint for the reports it sends and an interrupt OUT endpoint for those it
// takes, interface 0 for the pin report and interface 1 for the special-mode reports.
struct __attribute__((packed)) InterfaceDescriptors {
    usb_interface_descriptor pins;
    usb_endpoint_descriptor_no_audio pinsIn;
    usb_endpoint_descriptor_no_audio pinsOut;
    usb_interface_descriptor special;
    usb_endpoint_descriptor_no_audio specialIn;
    usb_endpoint_descriptor_no_audio specialOut;
};

struct __attribute__((packed)) Descriptors {
    usb_functionfs_descs_head_v2 header;
    __le32 fullSpeedCount;
    __le32 highSpeedCount;
    InterfaceDescriptors fullSpeed;
    InterfaceDescriptors highSpeed;
};

struct __attribute__((packed)) Strings {
    usb_functionfs_strings_head header;
};

usb_interface_descriptor Interface(std::uint8_t number) {
    usb_interface_descriptor interface {};
    interface.bLength = USB_DT_INTERFACE_SIZE;
    interface.bDescriptorType = USB_DT_INTERFACE;
    interface.bInterfaceNumber = number;
    interface.bNumEndpoints = 2;
    interface.bInterfaceClass = USB_CLASS_HID;
    return interface;
}

usb_endpoint_descriptor_no_audio InterruptEndpoint(std::uint8_t address, std::uint16_t packetBytes,
                                                   std::uint8_t interval) {
    usb_endpoint_descriptor_no_audio endpoint{};
    endpoint.bLength = USB_DT_ENDPOINT_SIZE;
    endpoint.bDescriptorType = USB_DT_ENDPOINT;
    endpoint.bEndpointAddress = address;
    endpoint.bmAttributes = USB_ENDPOINT_XFER_INT;
    endpoint.wMaxPacketSize = packetBytes;
    endpoint.bInterval = interval;
    return endpoint;
}

// Full speed counts bInterval in frames of 1 ms, high speed as 2^(bInterval - 1) microframes of
// 125 us: both poll every millisecond.
InterfaceDescriptors IoWarrior56Interfaces(std::uint8_t interval) {
    return {Interface(0),
            InterruptEndpoint(1 | USB_DIR_IN, kPinPacketBytes, interval),
            InterruptEndpoint(2 | USB_DIR_OUT, kPinPacketBytes, interval),
            Interface(1),
            InterruptEndpoint(3 | USB_DIR_IN, kSpecialReportBytes, interval),
            InterruptEndpoint(4 | USB_DIR_OUT, kSpecialReportBytes, interval)};
}

}  // namespace

FunctionFsGadget::FunctionFsGadget(GadgetIdentity identity, fs::path mountDirectory)
    : m_identity(std::move(identity)), m_mountDirectory(std::move(mountDirectory)) {
    try {
        MakeDevice();
        MountFunctionFs();
        WriteDescriptors();
        m_ep0Thread = std::thread([this] { ServeEp0(); });
    } catch (...) {
        RemoveAll();
        throw;
    }
}

FunctionFsGadget::~FunctionFsGadget() {
    RemoveAll();
}

fs::path FunctionFsGadget::GadgetDirectory() const {
    return kConfigFsGadgets / m_identity.name;
}

int FunctionFsGadget::EndpointFile(Endpoint endpoint) const {
    return m_endpoints[static_cast<int>(endpoint) - 1];
}

void FunctionFsGadget::MakeDevice() {
    if (m_identity.serial.size() != 8) {
        throw GadgetError("the serial number \"" + m_identity.serial +
                          "\" is not eight characters long");
    }
    const fs::path gadget = GadgetDirectory();
    MakeDirectory(gadget);
    m_made = true;
    WriteText(gadget / "idVendor", Hex4(m_identity.vendorId));
    WriteText(gadget / "idProduct", Hex4(m_identity.productId));
    WriteText(gadget / "bcdDevice", Hex4(m_identity.revision));
    MakeDirectory(gadget / "strings/0x409");
    WriteText(gadget / "strings/0x409/serialnumber", m_identity.serial);
    WriteText(gadget / "strings/0x409/product", "zentrix-usb-box");
    MakeDirectory(gadget / "configs" / kConfiguration);
    WriteText(gadget / "configs" / kConfiguration / "MaxPower", "100");
    MakeDirectory(gadget / "functions" / ("ffs." + m_identity.name));
    std::error_code error;
    fs::create_directory_symlink(gadget / "functions" / ("ffs." + m_identity.name),
                                 gadget / "configs" / kConfiguration / ("ffs." + m_identity.name),
                                 error);
    if (error) {
        throw GadgetError("cannot link the function into the configuration: " + error.message());
    }
    m_linked = true;
}

void FunctionFsGadget::MountFunctionFs() {
    std::error_code error;
    fs::create_directories(m_mountDirectory, error);
    if (::mount(m_identity.name.c_str(), m_mountDirectory.c_str(), "functionfs", 0, nullptr) != 0) {
        throw GadgetError("cannot mount FunctionFS at " + m_mountDirectory.string() + ": " +
                          ErrnoText(errno));
    }
    m_mounted = true;
}

void FunctionFsGadget::WriteDescriptors() {
    const std::string ep0 = (m_mountDirectory / "ep0").string();
    m_ep0 = ::open(ep0.c_str(), O_RDWR | O_CLOEXEC);
    if (m_ep0 < 0) {
        throw GadgetError("cannot open " + ep0 + ": " + ErrnoText(errno));
    }
    Descriptors descriptors{};
    descriptors.header.magic = FUNCTIONFS_DESCRIPTORS_MAGIC_V2;
    descriptors.header.length = sizeof descriptors;
    descriptors.header.flags = FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC;
    descriptors.fullSpeedCount = 6;
    descriptors.highSpeedCount = 6;
    descriptors.fullSpeed = IoWarrior56Interfaces(1);
    descriptors.highSpeed = IoWarrior56Interfaces(4);
    WriteAll(m_ep0, &descriptors, sizeof descriptors, "descriptors");
    Strings strings{};
    strings.header.magic = FUNCTIONFS_STRINGS_MAGIC;
    strings.header.length = sizeof strings;
    WriteAll(m_ep0, &strings, sizeof strings, "strings");
    for (int index = 0; index < 4; ++index) {
        const std::string path = (m_mountDirectory / ("ep" + std::to_string(index + 1))).string();
        m_endpoints[index] = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (m_endpoints[index] < 0) {
            throw GadgetError("cannot open " + path + ": " + ErrnoText(errno));
        }
    }
}

void FunctionFsGadget::Plug() {
    WriteText(GadgetDirectory() / "UDC", m_identity.udc);
}

void FunctionFsGadget::Unplug() noexcept {
    try {
        if (IsPlugged()) {
            WriteText(GadgetDirectory() / "UDC", "");
        }
    } catch (...) {
    }
}

bool FunctionFsGadget::IsPlugged() const {
    std::ifstream in(GadgetDirectory() / "UDC");
    std::string udc;
    std::getline(in, udc);
    return !udc.empty();
}

void FunctionFsGadget::ServeEp0() {
    std::array<usb_functionfs_event, 4> events{};
    while (!m_stopping.load()) {
        pollfd ready{m_ep0, POLLIN, 0};
        if (::poll(&ready, 1, kEp0PollMs) <= 0 || (ready.revents & POLLIN) == 0) {
            continue;
        }
        const ssize_t got = ::read(m_ep0, events.data(), sizeof events);
        if (got <= 0) {
            continue;
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(got) / sizeof events[0]; ++i) {
            const usb_functionfs_event& event = events[i];
            switch (event.type) {
                case FUNCTIONFS_ENABLE:
                    m_enabled.store(true);
                    m_connections.fetch_add(1);
                    break;
                case FUNCTIONFS_DISABLE:
                case FUNCTIONFS_UNBIND:
                    m_enabled.store(false);
                    break;
                case FUNCTIONFS_SETUP:
                    // Requests to the device are acknowledged (a read of their data stage); the
                    // box answers none that asks for data, which stalls them, as a read does.
                    if ((event.u.setup.bRequestType & USB_DIR_IN) == 0) {
                        std::array<std::uint8_t, 64> data{};
                        const std::size_t length =
                            std::min<std::size_t>(event.u.setup.wLength, data.size());
                        if (::read(m_ep0, data.data(), length) >= 0) {
                            m_acknowledged.fetch_add(1);
                        }
                    } else {
                        static_cast<void>(::read(m_ep0, nullptr, 0));
                    }
                    break;
                default:
                    break;
            }
        }
    }
}

void FunctionFsGadget::RemoveAll() noexcept {
    m_stopping.store(true);
    if (m_made) {
        Unplug();
    }
    if (m_ep0Thread.joinable()) {
        m_ep0Thread.join();
    }
    for (int& fd : m_endpoints) {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
    if (m_ep0 >= 0) {
        ::close(m_ep0);
        m_ep0 = -1;
    }
    if (m_mounted) {
        ::umount(m_mountDirectory.c_str());
        m_mounted = false;
    }
    if (!m_made) {
        return;
    }
    const fs::path gadget = GadgetDirectory();
    std::error_code ignored;
    if (m_linked) {
        fs::remove(gadget / "configs" / kConfiguration / ("ffs." + m_identity.name), ignored);
    }
    fs::remove(gadget / "configs" / kConfiguration, ignored);
    fs::remove(gadget / "functions" / ("ffs." + m_identity.name), ignored);
    fs::remove(gadget / "strings/0x409", ignored);
    fs::remove(gadget, ignored);
    m_made = false;
}

}  // namespace zentrix::usb
