// Reading the numbers and names a user types on the command line, with errors short enough for
// one line.
#ifndef ZENTRIX_CLI_OPTIONVALUES_H
#define ZENTRIX_CLI_OPTIONVALUES_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zentrix::cli {

inline constexpr double kSecondsInAYear = 365.0 * 24 * 3600;

// A finite number above 0 and at most max written as the whole token; throws a UsageError that
// names the option and says what it takes ("seconds", "samples per second") otherwise.
double ParsePositiveNumber(std::string_view text, std::string_view option, double max,
                           std::string_view unit);

// The choice nearest to a mistyped word, when one is near enough to be what was meant.
std::optional<std::string> NearestChoice(std::string_view typed,
                                         const std::vector<std::string>& choices);

}  // namespace zentrix::cli

#endif
