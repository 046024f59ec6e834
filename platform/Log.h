// Diagnostics for people running real hardware: off by default, switched on by ZENTRIX_LOG.
// "LEVEL" writes to standard error, "LEVEL:PATH" appends to a file; LEVEL is error, warning, info
// or debug. Logging never throws and never changes what the plug-in does.
#ifndef ZENTRIX_PLATFORM_LOG_H
#define ZENTRIX_PLATFORM_LOG_H

#include <string_view>

namespace zentrix {

enum class LogLevel { Error = 0, Warning = 1, Info = 2, Debug = 3 };

// Whether a message of that level would be written; lets callers skip building costly texts.
bool LogEnabled(LogLevel level) noexcept;
// One line: "zentrix: LEVEL: AREA: MESSAGE". Safe from any thread.
void Log(LogLevel level, std::string_view area, std::string_view message) noexcept;

// Builds the message only when it would be written, so that a message costs nothing while logging
// is off; one that cannot be built (out of memory) is dropped.
template <class MakeMessage>
void LogLazily(LogLevel level, std::string_view area, MakeMessage&& makeMessage) noexcept {
    if (!LogEnabled(level)) {
        return;
    }
    try {
        Log(level, area, makeMessage());
    } catch (...) {
    }
}

// Reads a ZENTRIX_LOG setting again (tests; the first log call reads the environment).
void ConfigureLog(std::string_view setting) noexcept;

}  // namespace zentrix

#endif
