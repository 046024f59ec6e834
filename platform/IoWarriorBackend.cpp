#include "platform/IoWarriorBackend.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>

#include "simulator/SimulatorBackend.h"

namespace zentrix {
namespace {

struct ProcessBackend {
    std::unique_ptr<IoWarriorLibrary> owned;
    IoWarriorLibrary* library = nullptr;
    Clock* clock = nullptr;
};

ProcessBackend& Backend() {
    static ProcessBackend backend;
    return backend;
}

std::mutex& BackendMutex() {
    static std::mutex mutex;
    return mutex;
}

void ChooseFromEnvironment() {
    ProcessBackend& backend = Backend();
    if (backend.library != nullptr) {
        return;
    }
    if (backend.owned) {
        backend.library = backend.owned.get();
        backend.clock = &SystemClock::Instance();
        return;
    }
    const char* setting = std::getenv("ZENTRIX_IOWARRIOR");
    IoWarriorBackendChoice choice =
        CreateIoWarriorLibrary(setting != nullptr ? setting : "", SystemClock::Instance());
    if (!choice.diagnostic.empty()) {
        std::fprintf(stderr, "zentrix: %s\n", choice.diagnostic.c_str());
    }
    backend.owned = std::move(choice.library);
    backend.library = backend.owned.get();
    backend.clock = &SystemClock::Instance();
}

}  // namespace

bool NullIoWarriorLibrary::GetSerialNumber(IowHandle, char16_t* serialNumber) {
    if (serialNumber != nullptr) {
        serialNumber[0] = u'\0';
    }
    return false;
}

IoWarriorBackendChoice CreateIoWarriorLibrary(std::string_view setting, Clock& clock) {
    IoWarriorBackendChoice choice;
    try {
        if (setting == "sim" || setting.starts_with("sim:")) {
            const std::string_view benchPath =
                setting.size() > 4 ? setting.substr(4) : std::string_view{};
            if (setting.starts_with("sim:") && benchPath.empty()) {
                choice.diagnostic = "ZENTRIX_IOWARRIOR=sim: names no bench file";
            } else {
                choice.library = sim::CreateSimulatedLibrary(benchPath, clock);
                return choice;
            }
        } else if (setting.empty() || setting == "kernel" || setting == "none") {
            // Real hardware needs the kernel-driver backend, which is not built yet; until then a
            // lab PC runs with its placeholder box, as with no controller plugged in.
        } else {
            choice.diagnostic = "ZENTRIX_IOWARRIOR=" + std::string(setting) +
                                " is not one of sim, sim:BENCH.json, none, kernel";
        }
    } catch (const std::exception& error) {
        choice.diagnostic = "ZENTRIX_IOWARRIOR=" + std::string(setting) + ": " + error.what();
    } catch (...) {
        choice.diagnostic = "ZENTRIX_IOWARRIOR=" + std::string(setting) + ": unusable";
    }
    if (!choice.diagnostic.empty()) {
        choice.diagnostic += "; running without IO boxes";
    }
    choice.library = std::make_unique<NullIoWarriorLibrary>();
    return choice;
}

IoWarriorLibrary& ProcessIoWarriorLibrary() {
    const std::lock_guard lock(BackendMutex());
    ChooseFromEnvironment();
    return *Backend().library;
}

Clock& ProcessHardwareClock() {
    const std::lock_guard lock(BackendMutex());
    ChooseFromEnvironment();
    return *Backend().clock;
}

ScopedHardwareBackend::ScopedHardwareBackend(IoWarriorLibrary& library, Clock& clock) {
    const std::lock_guard lock(BackendMutex());
    ProcessBackend& backend = Backend();
    m_previousLibrary = backend.library;
    m_previousClock = backend.clock;
    backend.library = &library;
    backend.clock = &clock;
}

ScopedHardwareBackend::~ScopedHardwareBackend() {
    const std::lock_guard lock(BackendMutex());
    ProcessBackend& backend = Backend();
    backend.library = m_previousLibrary;
    backend.clock = m_previousClock;
}

}  // namespace zentrix
