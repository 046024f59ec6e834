#include "iobox/Timing.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/Log.h"

namespace zentrix {

std::optional<TimingChoice> ParseTimingChoice(std::string_view text) {
    if (text == "spec") {
        return TimingChoice::Spec;
    }
    if (text == "lean") {
        return TimingChoice::Lean;
    }
    if (text == "auto") {
        return TimingChoice::Auto;
    }
    return std::nullopt;
}

std::string_view TimingName(Timing timing) {
    return timing == Timing::Spec ? "spec" : "lean";
}

std::string_view TimingChoiceName(TimingChoice choice) {
    switch (choice) {
        case TimingChoice::Spec:
            return "spec";
        case TimingChoice::Lean:
            return "lean";
        case TimingChoice::Auto:
            break;
    }
    return "auto";
}

TimingChoice TimingChoiceFromEnvironment() {
    const char* setting = std::getenv("ZENTRIX_TIMING");
    if (setting == nullptr || *setting == '\0') {
        return TimingChoice::Auto;
    }
    if (const auto choice = ParseTimingChoice(setting)) {
        return *choice;
    }
    static const bool logged = [setting] {
        Log(LogLevel::Warning, "timing",
            std::string("ZENTRIX_TIMING=") + setting +
                " names no timing (spec, lean or auto); taking auto");
        return true;
    }();
    static_cast<void>(logged);
    return TimingChoice::Auto;
}

bool OnePassInputReadsFromEnvironment() {
    static const bool onePass = [] {
        const char* text = std::getenv("ZENTRIX_SCHEDULE");
        if (text == nullptr || *text == '\0' || std::string_view(text) == "inputs-first") {
            return false;
        }
        if (std::string_view(text) == "passes") {
            Log(LogLevel::Info, "timing",
                "reading the inputs once per pass (ZENTRIX_SCHEDULE=passes), for measurement");
            return true;
        }
        Log(LogLevel::Warning, "timing",
            std::string("ZENTRIX_SCHEDULE=") + text +
                " names no schedule (inputs-first or passes); taking inputs-first");
        return false;
    }();
    return onePass;
}

std::optional<std::uint32_t> PinReportWaitUsFromEnvironment() {
    static const std::optional<std::uint32_t> waitUs = []() -> std::optional<std::uint32_t> {
        const char* text = std::getenv("ZENTRIX_PIN_REPORT_WAIT_US");
        if (text == nullptr || *text == '\0') {
            return std::nullopt;
        }
        char* end = nullptr;
        errno = 0;
        const unsigned long value = std::strtoul(text, &end, 10);
        if (errno != 0 || *end != '\0' || *text == '-' || value > kLongestPinReportWaitUs) {
            Log(LogLevel::Warning, "transfer",
                std::string("ZENTRIX_PIN_REPORT_WAIT_US=") + text +
                    " is not a number of microseconds up to 100000; ignored");
            return std::nullopt;
        }
        Log(LogLevel::Info, "transfer",
            "waiting " + std::to_string(value) +
                " us after each pin report (ZENTRIX_PIN_REPORT_WAIT_US)");
        return static_cast<std::uint32_t>(value);
    }();
    return waitUs;
}

}  // namespace zentrix
