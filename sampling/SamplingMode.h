// How the sampling passes are spread over threads: one thread for every IO box in turn (serial),
// or one thread per IO-Warrior controller (concurrent).
#ifndef ZENTRIX_SAMPLING_SAMPLINGMODE_H
#define ZENTRIX_SAMPLING_SAMPLINGMODE_H

#include <optional>
#include <string_view>

namespace zentrix {

enum class SamplingMode { Serial, Concurrent };

// "serial" or "concurrent"; nothing for any other text.
std::optional<SamplingMode> ParseSamplingMode(std::string_view text);
std::string_view SamplingModeName(SamplingMode mode);
// ZENTRIX_SAMPLING as it is now; concurrent when it is unset or names no mode.
SamplingMode SamplingModeFromEnvironment();

}  // namespace zentrix

#endif
