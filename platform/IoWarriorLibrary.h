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

// Handles stay valid from OpenDevice until CloseDevice.
//
// Threads: calls for different controllers may run at the same time on different threads (the
// plug-in samples each controller on a thread of its own, and each hardware setup has its own
// threads), so an implementation must allow that without making one controller's call wait for
// another's transfer. Calls for one controller never overlap: the plug-in makes them from one
// thread at a time, and an implementation may rely on that. OpenDevice, GetNumDevs,
// GetDeviceHandle and CloseDevice never overlap each other or a transfer: the plug-in opens,
// enumerates and closes a library under its own lock, while no sampling thread runs.
//
// Only Read may throw: every other operation reports failure through its result, because the
// plug-in calls them where an exception would end the component's creation or its shutdown. A
// handle the library does not know (null, closed, unplugged) is a failure, never undefined.
class IoWarriorLibrary {
public:
    virtual ~IoWarriorLibrary() = default;

    // Opens every controller on the bus; the handle of the first one, or null when none opened.
    // Blocks only while it finds and opens the controllers; transfers nothing. Does not throw.
    virtual IowHandle OpenDevice() = 0;
    // Closes every controller; the plug-in passes a null handle. Does not block on pending
    // transfers and does not throw; calling it with nothing open does nothing.
    virtual void CloseDevice(IowHandle handle) = 0;
    // Number of controllers that OpenDevice opened, 0 when none are open. Does not block or throw.
    virtual std::int32_t GetNumDevs() = 0;
    // The handle of controller number 1..GetNumDevs(), null for any other number. Does not block
    // or throw.
    virtual IowHandle GetDeviceHandle(std::int32_t numDevice) = 0;
    // Fills a buffer of kIowSerialLength + 1 units with the zero-terminated serial number; false
    // with an empty string for an unknown handle. Does not block or throw.
    virtual bool GetSerialNumber(IowHandle handle, char16_t* serialNumber) = 0;
    // The controller's USB product id, 0 for an unknown handle. Does not block or throw.
    virtual std::uint32_t GetProductId(IowHandle handle) = 0;
    // The number of bytes written, less than length (usually 0) when the report could not be
    // sent. Blocks at most the write timeout. Does not throw.
    virtual std::uint32_t Write(IowHandle handle, std::uint32_t pipe, const std::uint8_t* buffer,
                                std::uint32_t length) = 0;
    // The number of bytes read, less than length (usually 0) when no report came in time. Blocks
    // at most the read timeout (the backend's own default until SetTimeout is called). May throw
    // when the transport breaks down, e.g. the controller was unplugged: the plug-in then gives
    // the read up at once instead of retrying.
    virtual std::uint32_t Read(IowHandle handle, std::uint32_t pipe, std::uint8_t* buffer,
                               std::uint32_t length) = 0;
    // Set the timeouts of later writes and reads on that controller; an unknown handle is
    // ignored. Do not block or throw.
    virtual void SetWriteTimeout(IowHandle handle, std::uint32_t timeoutMs) = 0;
    virtual void SetTimeout(IowHandle handle, std::uint32_t timeoutMs) = 0;
};

}  // namespace zentrix

#endif
