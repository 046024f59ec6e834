// Which IO-Warrior library the process's IO boxes use. Chosen once per process from
// ZENTRIX_IOWARRIOR, "NAME" or "NAME:ARGUMENT", among the backends registered in this build
// (IoWarriorBackendRegistry.h); unset or empty means "kernel". Tests do not go through the
// process's backend: they hand their library and clock to the hardware setup's constructor.
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

// Never throws: a setting that names no registered backend, or one whose backend cannot be made
// from its argument, gives the null library and a diagnostic (also logged as a warning).
IoWarriorBackendChoice CreateIoWarriorLibrary(std::string_view setting, Clock& clock);

// The process's backend; the first call reads ZENTRIX_IOWARRIOR and prints a diagnostic once on
// standard error when the setting cannot be honoured.
IoWarriorLibrary& ProcessIoWarriorLibrary();
// The same library with a share in it, for an owner that may outlive the process's own reference,
// which the exit handlers drop.
std::shared_ptr<IoWarriorLibrary> ShareProcessIoWarriorLibrary();
// The clock that times the process's hardware: the system clock.
Clock& ProcessHardwareClock();

}  // namespace zentrix

#endif
