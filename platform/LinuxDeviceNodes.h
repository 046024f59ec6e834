// The system calls through which the kernel-driver backend reaches the Linux `iowarrior` driver's
// device nodes, behind an interface so that tests can put a scripted driver in their place.
#ifndef ZENTRIX_PLATFORM_LINUXDEVICENODES_H
#define ZENTRIX_PLATFORM_LINUXDEVICENODES_H

#include <sys/ioctl.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zentrix {

// What the driver's IOW_GETINFO ioctl fills in, laid out as the driver's own structure.
struct IowarriorInfo {
    std::uint32_t vendor = 0;
    std::uint32_t product = 0;
    // Zero-terminated serial number.
    std::uint8_t serial[9] = {};
    std::uint32_t revision = 0;
    std::uint32_t speed = 0;
    std::uint32_t power = 0;
    // The USB interface the node serves: 0 the pins, 1 the special modes.
    std::uint32_t if_num = 0;
    // The exact byte count a write must have and a read must at least ask for.
    std::uint32_t report_size = 0;
};
static_assert(sizeof(IowarriorInfo) == 40, "the driver copies exactly 40 bytes");

// The driver does not export its ioctl header, so its request numbers are spelt out here.
inline constexpr unsigned kIowarriorIoctlMagic = 0xC0;
inline constexpr unsigned long kIowWrite = _IOW(kIowarriorIoctlMagic, 1, std::uint8_t*);
inline constexpr unsigned long kIowRead = _IOW(kIowarriorIoctlMagic, 2, std::uint8_t*);
inline constexpr unsigned long kIowGetInfo = _IOR(kIowarriorIoctlMagic, 3, IowarriorInfo);

inline constexpr std::uint32_t kCodeMercenariesVendorId = 0x07C0;
// The prefix of the driver's device node names; the minor number follows.
inline constexpr std::string_view kIowarriorNodePrefix = "iowarrior";

// Each call returns what the system call returns on success and the negated errno on failure,
// never throws and never retries on its own.
class DeviceNodes {
public:
    virtual ~DeviceNodes() = default;

    // The names of the entries of a directory, in no particular order; 0 or -errno.
    virtual int ListDirectory(const std::string& directory, std::vector<std::string>& names) = 0;
    // Opens a node for reading and writing without blocking; a descriptor or -errno.
    virtual int Open(const std::string& path) = 0;
    virtual void Close(int fd) = 0;
    // IOW_GETINFO; 0 or -errno.
    virtual int GetInfo(int fd, IowarriorInfo& info) = 0;
    // The byte count written, or -errno (-EAGAIN while too many writes are in flight).
    virtual long Write(int fd, const std::uint8_t* data, std::size_t length) = 0;
    // The byte count read, or -errno (-EAGAIN when no report is waiting).
    virtual long Read(int fd, std::uint8_t* data, std::size_t length) = 0;
    // Waits at most timeoutMs for one of `events` (POLLIN, POLLOUT); the events that occurred
    // (POLLERR and POLLHUP included), 0 on timeout, or -errno.
    virtual int Poll(int fd, short events, int timeoutMs) = 0;
};

// The operating system's own calls.
class LinuxDeviceNodes final : public DeviceNodes {
public:
    int ListDirectory(const std::string& directory, std::vector<std::string>& names) override;
    int Open(const std::string& path) override;
    void Close(int fd) override;
    int GetInfo(int fd, IowarriorInfo& info) override;
    long Write(int fd, const std::uint8_t* data, std::size_t length) override;
    long Read(int fd, std::uint8_t* data, std::size_t length) override;
    int Poll(int fd, short events, int timeoutMs) override;

    static LinuxDeviceNodes& Instance();
};

}  // namespace zentrix

#endif
