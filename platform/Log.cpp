#include "platform/Log.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace zentrix {
namespace {

struct LogState {
    std::mutex mutex;
    bool configured = false;
    int level = -1;
    std::FILE* file = nullptr;
    bool ownsFile = false;
};

LogState& State() {
    static LogState state;
    return state;
}

int ParseLevel(std::string_view name) {
    if (name == "error") {
        return static_cast<int>(LogLevel::Error);
    }
    if (name == "warning") {
        return static_cast<int>(LogLevel::Warning);
    }
    if (name == "info") {
        return static_cast<int>(LogLevel::Info);
    }
    if (name == "debug") {
        return static_cast<int>(LogLevel::Debug);
    }
    return -1;
}

const char* LevelName(LogLevel level) {
    switch (level) {
        case LogLevel::Error:
            return "error";
        case LogLevel::Warning:
            return "warning";
        case LogLevel::Info:
            return "info";
        case LogLevel::Debug:
            return "debug";
    }
    return "log";
}

// Caller holds the state's mutex.
void Apply(LogState& state, std::string_view setting) {
    if (state.ownsFile && state.file != nullptr) {
        std::fclose(state.file);
    }
    state.file = nullptr;
    state.ownsFile = false;
    state.configured = true;
    const std::size_t colon = setting.find(':');
    state.level = ParseLevel(setting.substr(0, colon));
    if (state.level < 0) {
        return;
    }
    if (colon == std::string_view::npos) {
        state.file = stderr;
        return;
    }
    const std::string path(setting.substr(colon + 1));
    state.file = std::fopen(path.c_str(), "a");
    if (state.file == nullptr) {
        // A log file that cannot be opened must not silence the diagnostics altogether.
        state.file = stderr;
        std::fprintf(stderr, "zentrix: warning: log: cannot open %s, logging to standard error\n",
                     path.c_str());
    } else {
        state.ownsFile = true;
    }
}

void ConfigureFromEnvironment(LogState& state) {
    if (!state.configured) {
        const char* setting = std::getenv("ZENTRIX_LOG");
        Apply(state, setting != nullptr ? setting : "");
    }
}

}  // namespace

bool LogEnabled(LogLevel level) noexcept {
    try {
        LogState& state = State();
        const std::lock_guard lock(state.mutex);
        ConfigureFromEnvironment(state);
        return static_cast<int>(level) <= state.level;
    } catch (...) {
        return false;
    }
}

void Log(LogLevel level, std::string_view area, std::string_view message) noexcept {
    try {
        LogState& state = State();
        const std::lock_guard lock(state.mutex);
        ConfigureFromEnvironment(state);
        if (static_cast<int>(level) > state.level || state.file == nullptr) {
            return;
        }
        std::fprintf(state.file, "zentrix: %s: %.*s: %.*s\n", LevelName(level),
                     static_cast<int>(area.size()), area.data(), static_cast<int>(message.size()),
                     message.data());
        std::fflush(state.file);
    } catch (...) {
        // Diagnostics never disturb the plug-in.
    }
}

void ConfigureLog(std::string_view setting) noexcept {
    try {
        LogState& state = State();
        const std::lock_guard lock(state.mutex);
        Apply(state, setting);
    } catch (...) {
    }
}

}  // namespace zentrix
