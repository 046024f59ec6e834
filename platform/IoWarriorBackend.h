// Which IO-Warrior library and clock the process's IO boxes use. Chosen once per process from
// ZENTRIX_IOWARRIOR: "sim" (the built-in demo bench), "sim:PATH" (a bench file), "none" (no
// controller), unset or "kernel" (real hardware through the Linux kernel driver). Tests install
// their own with ScopedHardwareBackend.
#ifndef ZENTRIX_PLATFORM_IOWARRIORBACKEND_H
#define ZENTRIX_PLATFORM_IOWARRIORBACKEND_H

#include <memory>
#include <string>
#include <string_view>

#include "platform/Clock.h"
#include "platform/IoWarriorLibrary.h"

namespace zentrix {

// Opens no controller: the plug-in then runs with its placeholder box.
class NullIoWarriorLibrary final : public IoWarriorLibrary {
public:
    IowHandle OpenDevice() override { return nullptr; }
    void CloseDevice(IowHandle) override {}
    std::int32_t GetNumDevs() override { return 0; }
    IowHandle GetDeviceHandle(std::int32_t) override { return nullptr; }
    bool GetSerialNumber(IowHandle, char16_t* serialNumber) override;
    std::uint32_t GetProductId(IowHandle) override { return 0; }
    std::uint32_t Write(IowHandle, std::uint32_t, const std::uint8_t*, std::uint32_t) override {
        return 0;
    }
    std::uint32_t Read(IowHandle, std::uint32_t, std::uint8_t*, std::uint32_t) override {
        return 0;
    }
    void SetWriteTimeout(IowHandle, std::uint32_t) override {}
    void SetTimeout(IowHandle, std::uint32_t) override {}
};

struct IoWarriorBackendChoice {
    std::unique_ptr<IoWarriorLibrary> library;
    // Why the setting could not be honoured; empty when it was.
    std::string diagnostic;
};

// Never throws: a bad setting or an unreadable or invalid bench file gives the null library and
// a diagnostic.
IoWarriorBackendChoice CreateIoWarriorLibrary(std::string_view setting, Clock& clock);

// The process's backend; the first call reads ZENTRIX_IOWARRIOR and prints a diagnostic once on
// standard error when the setting cannot be honoured.
IoWarriorLibrary& ProcessIoWarriorLibrary();
Clock& ProcessHardwareClock();

// Routes the process's IO-Warrior traffic and hardware timing to a test's own objects for the
// lifetime of this object.
class ScopedHardwareBackend {
public:
    ScopedHardwareBackend(IoWarriorLibrary& library, Clock& clock);
    ~ScopedHardwareBackend();
    ScopedHardwareBackend(const ScopedHardwareBackend&) = delete;
    ScopedHardwareBackend& operator=(const ScopedHardwareBackend&) = delete;

private:
    IoWarriorLibrary* m_previousLibrary;
    Clock* m_previousClock;
};

}  // namespace zentrix

#endif
