#include "OptionValues.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <numeric>

#include "CliError.h"

namespace zentrix::cli {

namespace {

std::string FormatBound(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

std::size_t EditDistance(std::string_view from, std::string_view to) {
    std::vector<std::size_t> row(to.size() + 1);
    std::iota(row.begin(), row.end(), std::size_t{0});
    for (std::size_t i = 1; i <= from.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= to.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min(
                {row[j] + 1, row[j - 1] + 1, diagonal + (from[i - 1] == to[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[to.size()];
}

}  // namespace

double ParsePositiveNumber(std::string_view text, std::string_view option, double max,
                           std::string_view unit) {
    double value = 0.0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    const std::string quoted =
        "\"" + std::string(text.substr(0, 40)) + (text.size() > 40 ? "...\"" : "\"");
    if (text.empty() || error != std::errc() || stop != end || !std::isfinite(value) ||
        !(value > 0.0) || value > max) {
        throw UsageError(std::string(option) + " takes " + std::string(unit) +
                         " above 0 and at most " + FormatBound(max) +
                         (max == kSecondsInAYear ? " (a year)" : "") + ", not " + quoted);
    }
    return value;
}

std::optional<std::string> NearestChoice(std::string_view typed,
                                         const std::vector<std::string>& choices) {
    std::optional<std::string> best;
    std::size_t bestDistance = 0;
    for (const std::string& choice : choices) {
        const std::size_t distance = EditDistance(typed, choice);
        if (!best || distance < bestDistance) {
            best = choice;
            bestDistance = distance;
        }
    }
    // Two edits, or a third of the word for long ones, is still a slip of the fingers.
    const std::size_t allowed = std::max<std::size_t>(2, typed.size() / 3);
    if (best && bestDistance <= allowed && bestDistance < typed.size()) {
        return best;
    }
    return std::nullopt;
}

}  // namespace zentrix::cli
