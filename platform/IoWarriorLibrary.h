// The seam through which all IO-Warrior traffic passes: the ten operations of the controller
// vendor's access library, with interchangeable backends (simulated IO boxes, the Linux kernel
// driver, or none at all).
#ifndef ZENTRIX_PLATFORM_IOWARRIORLIBRARY_H
#define ZENTRIX_PLATFORM_IOWARRIORLIBRARY_H

#include <cstdint>

namespace zentrix {

// Opaque controller handle; null means "no controller".
using IowHandle = void*;

inline constexpr std::uint32_t kIowPipeIoPins = 0;
inline constexpr std::uint32_t kIowPipeSpecialMode = 1;
inline constexpr std::uint32_t kIoWarrior56ProductId = 0x1503;
inline constexpr std::uint32_t kIow56PinReportSize = 8;
inline constexpr std::uint32_t kIow56SpecialReportSize = 64;
// Characters of a serial number, without its terminator.
inline constexpr std::uint32_t kIowSerialLength = 8;

// Handles stay valid from OpenDevice until CloseDevice. The plug-in never makes two calls for one
// controller at once and opens, enumerates and closes a library under its own lock; but calls for
// different controllers may come from different threads at the same time (each hardware setup
// samples on its own thread), so an implementation must allow that.
class IoWarriorLibrary {
public:
    virtual ~IoWarriorLibrary() = default;

    // Opens every controller on the bus; the handle of the first one, or null when none opened.
    virtual IowHandle OpenDevice() = 0;
    // Closes every controller; the plug-in passes a null handle.
    virtual void CloseDevice(IowHandle handle) = 0;
    // Number of controllers that OpenDevice opened.
    virtual std::int32_t GetNumDevs() = 0;
    // The handle of controller number 1..GetNumDevs(), null for any other number.
    virtual IowHandle GetDeviceHandle(std::int32_t numDevice) = 0;
    // Fills a buffer of kIowSerialLength + 1 units with the zero-terminated serial number.
    virtual bool GetSerialNumber(IowHandle handle, char16_t* serialNumber) = 0;
    virtual std::uint32_t GetProductId(IowHandle handle) = 0;
    // Both return the number of bytes transferred; Read waits at most the read timeout and may
    // throw when the transport breaks down.
    virtual std::uint32_t Write(IowHandle handle, std::uint32_t pipe, const std::uint8_t* buffer,
                                std::uint32_t length) = 0;
    virtual std::uint32_t Read(IowHandle handle, std::uint32_t pipe, std::uint8_t* buffer,
                               std::uint32_t length) = 0;
    virtual void SetWriteTimeout(IowHandle handle, std::uint32_t timeoutMs) = 0;
    virtual void SetTimeout(IowHandle handle, std::uint32_t timeoutMs) = 0;
};

}  // namespace zentrix

#endif
