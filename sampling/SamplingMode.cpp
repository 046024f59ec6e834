#include "sampling/SamplingMode.h"

#include <cstdlib>

namespace zentrix {

std::optional<SamplingMode> ParseSamplingMode(std::string_view text) {
    if (text == "serial") {
        return SamplingMode::Serial;
    }
    if (text == "concurrent") {
        return SamplingMode::Concurrent;
    }
    return std::nullopt;
}

std::string_view SamplingModeName(SamplingMode mode) {
    return mode == SamplingMode::Serial ? "serial" : "concurrent";
}

SamplingMode SamplingModeFromEnvironment() {
    const char* setting = std::getenv("ZENTRIX_SAMPLING");
    return setting == nullptr ? SamplingMode::Concurrent
                              : ParseSamplingMode(setting).value_or(SamplingMode::Concurrent);
}

}  // namespace zentrix
