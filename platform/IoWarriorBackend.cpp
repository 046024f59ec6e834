#include "platform/IoWarriorBackend.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <stdexcept>

#include "platform/IoWarriorBackendRegistry.h"
#include "platform/Log.h"

namespace zentrix {
namespace {

constexpr std::string_view kDefaultBackend = "kernel";

// Shared with every setup built on it, so that the exit handlers' destruction of this static never
// frees a library that a setup the host did not release, and its sampling threads, still use.
struct ProcessBackend {
    std::shared_ptr<IoWarriorLibrary> library;
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
    if (backend.library) {
        return;
    }
    const char* setting = std::getenv("ZENTRIX_IOWARRIOR");
    IoWarriorBackendChoice choice =
        CreateIoWarriorLibrary(setting != nullptr ? setting : "", SystemClock::Instance());
    if (!choice.diagnostic.empty()) {
        std::fprintf(stderr, "zentrix: %s\n", choice.diagnostic.c_str());
    }
    backend.library = std::move(choice.library);
}

std::unique_ptr<IoWarriorLibrary> CreateNullLibrary(std::string_view argument, Clock&) {
    if (!argument.empty()) {
        throw std::invalid_argument("takes nothing after the colon");
    }
    return std::make_unique<NullIoWarriorLibrary>();
}

const IoWarriorBackendRegistrar kNullBackend({
    .name = "none",
    .usage = "none",
    .description = "no controller: the plug-in runs with its placeholder box",
    .factory = &CreateNullLibrary,
});

std::string RegisteredUsages() {
    std::string usages;
    for (const IoWarriorBackendInfo& info : RegisteredIoWarriorBackends()) {
        usages += usages.empty() ? "" : ", ";
        usages += info.usage;
    }
    return usages;
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
    const std::string shown = setting.empty() ? std::string("ZENTRIX_IOWARRIOR unset")
                                              : "ZENTRIX_IOWARRIOR=" + std::string(setting);
    try {
        const std::size_t colon = setting.find(':');
        const std::string_view name = setting.empty() ? kDefaultBackend : setting.substr(0, colon);
        const std::string_view argument =
            colon == std::string_view::npos ? std::string_view{} : setting.substr(colon + 1);
        const IoWarriorBackendInfo* backend = FindIoWarriorBackend(name);
        if (backend == nullptr) {
            choice.diagnostic = shown + ": no backend \"" + std::string(name) +
                                "\" in this build (it has " + RegisteredUsages() + ")";
        } else if (colon != std::string_view::npos && argument.empty()) {
            choice.diagnostic =
                shown + ": nothing after the colon (use " + std::string(backend->usage) + ")";
        } else {
            choice.library = backend->factory(argument, clock);
            if (choice.library) {
                LogLazily(LogLevel::Info, "backend", [&] {
                    return "using " + std::string(setting.empty() ? name : setting) + " (" +
                           std::string(backend->description) + ")";
                });
            }
        }
    } catch (const std::exception& error) {
        choice.library.reset();
        choice.diagnostic = shown + ": " + error.what();
    } catch (...) {
        choice.library.reset();
        choice.diagnostic = shown + ": unusable";
    }
    if (choice.library) {
        return choice;
    }
    if (choice.diagnostic.empty()) {
        choice.diagnostic = shown + ": the backend made no library";
    }
    choice.diagnostic += "; running without IO boxes";
    Log(LogLevel::Warning, "backend", choice.diagnostic);
    choice.library = std::make_unique<NullIoWarriorLibrary>();
    return choice;
}

IoWarriorLibrary& ProcessIoWarriorLibrary() {
    return *ShareProcessIoWarriorLibrary();
}

std::shared_ptr<IoWarriorLibrary> ShareProcessIoWarriorLibrary() {
    const std::lock_guard lock(BackendMutex());
    ChooseFromEnvironment();
    return Backend().library;
}

Clock& ProcessHardwareClock() {
    return SystemClock::Instance();
}

}  // namespace zentrix
