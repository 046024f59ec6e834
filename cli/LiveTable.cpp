#include "LiveTable.h"

#include <algorithm>
#include <array>

#include "TextTable.h"

namespace zentrix::cli {

namespace {

constexpr std::string_view kEllipsis = "\xE2\x80\xA6";
constexpr std::size_t kColumnGap = 2;
constexpr std::string_view kNameValueSeparator = ": ";
// Names are never shortened below the width of the DEVICE and SIGNAL headings.
constexpr std::size_t kNarrowestName = 6;
constexpr std::size_t kShortestWord = 3;

std::string LastCodePoints(std::string_view text, std::size_t count) {
    std::size_t start = text.size();
    while (count > 0 && start > 0) {
        --start;
        if ((static_cast<unsigned char>(text[start]) & 0xC0) != 0x80) {
            --count;
        }
    }
    return std::string(text.substr(start));
}

std::string TrimmedRight(std::string text) {
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

std::string PaddedTo(std::string text, std::size_t width) {
    const std::size_t shown = DisplayWidth(text);
    if (shown < width) {
        text.append(width - shown, ' ');
    }
    return text;
}

// A line that does not fit ends in an ellipsis, so a cut value never passes for a whole one.
std::string FitLine(std::string text, std::size_t width) {
    text = TrimmedRight(std::move(text));
    if (DisplayWidth(text) <= width) {
        return text;
    }
    if (width == 0) {
        return {};
    }
    std::string kept = TrimmedRight(TruncateToWidth(text, width - 1));
    if (kept.ends_with(kEllipsis)) {
        kept.resize(kept.size() - kEllipsis.size());
    }
    return TrimmedRight(std::move(kept)) + std::string(kEllipsis);
}

// Shrinks the wider of two name widths by one until fits() holds or both are at the narrowest.
template <typename Fits>
void ShrinkNames(std::size_t& first, std::size_t& second, const Fits& fits) {
    while (!fits() && (first > kNarrowestName || second > kNarrowestName)) {
        --(first >= second ? first : second);
    }
}

std::vector<std::string> FullTable(const std::vector<LiveDevice>& devices, std::size_t width) {
    enum Column : std::size_t { kDevice, kSignal, kType, kValue, kTotal, kColumnCount };
    using Row = std::array<std::string, kColumnCount>;
    std::vector<Row> rows = {Row{"DEVICE", "SIGNAL", "TYPE", "VALUE", "TOTAL"}};
    for (const LiveDevice& device : devices) {
        for (const LiveSignal& signal : device.signals) {
            rows.push_back(Row{device.name, signal.name, signal.type, signal.value, signal.total});
        }
    }
    std::array<std::size_t, kColumnCount> widths{};
    for (const Row& row : rows) {
        for (std::size_t column = 0; column < kColumnCount; ++column) {
            widths[column] = std::max(widths[column], DisplayWidth(row[column]));
        }
    }
    bool withType = true;
    const auto fits = [&] {
        std::size_t total = 0;
        for (std::size_t column = 0; column < kColumnCount; ++column) {
            if (column != kType || withType) {
                total += widths[column] + (total > 0 ? kColumnGap : 0);
            }
        }
        return total <= width;
    };
    // The value's own form already tells its type, so TYPE goes before any name is shortened.
    withType = fits();
    ShrinkNames(widths[kDevice], widths[kSignal], fits);

    std::vector<std::string> lines;
    for (const Row& row : rows) {
        std::string line;
        for (std::size_t column = 0; column < kColumnCount; ++column) {
            if (column == kType && !withType) {
                continue;
            }
            if (!line.empty()) {
                line.append(kColumnGap, ' ');
            }
            const bool isName = column == kDevice || column == kSignal;
            line += PaddedTo(isName ? ShortenName(row[column], widths[column]) : row[column],
                             widths[column]);
        }
        lines.push_back(FitLine(std::move(line), width));
    }
    return lines;
}

bool ShownWhenCondensed(const LiveSignal& signal) {
    return signal.counting || signal.changed || !signal.atDefault;
}

std::string CondensedItem(const LiveSignal& signal, std::size_t nameWidth) {
    return ShortenName(signal.name, nameWidth) + std::string(kNameValueSeparator) +
           (signal.counting ? signal.total : signal.value);
}

// One line per device: its counting signals' totals first, then the signals that changed or are
// away from their resting value; the widths are chosen so that every device's totals fit.
std::vector<std::string> CondensedLines(const std::vector<LiveDevice>& devices, std::size_t width) {
    std::size_t deviceWidth = 0;
    std::size_t nameWidth = 0;
    for (const LiveDevice& device : devices) {
        deviceWidth = std::max(deviceWidth, DisplayWidth(device.name));
        for (const LiveSignal& signal : device.signals) {
            nameWidth = std::max(nameWidth, DisplayWidth(signal.name));
        }
    }
    const auto fits = [&] {
        return std::all_of(devices.begin(), devices.end(), [&](const LiveDevice& device) {
            std::size_t total = deviceWidth;
            for (const LiveSignal& signal : device.signals) {
                if (signal.counting) {
                    total += kColumnGap + std::min(DisplayWidth(signal.name), nameWidth) +
                             kNameValueSeparator.size() + DisplayWidth(signal.total);
                }
            }
            return total <= width;
        });
    };
    ShrinkNames(deviceWidth, nameWidth, fits);

    std::vector<std::string> lines;
    for (const LiveDevice& device : devices) {
        std::string line = PaddedTo(ShortenName(device.name, deviceWidth), deviceWidth);
        for (const LiveSignal& signal : device.signals) {
            if (signal.counting) {
                line.append(kColumnGap, ' ');
                line += CondensedItem(signal, nameWidth);
            }
        }
        // The other signals never push a total out: one that does not fit whole is left out,
        // with an ellipsis saying so.
        const std::string gap(kColumnGap, ' ');
        bool leftOut = false;
        for (const LiveSignal& signal : device.signals) {
            if (!signal.counting && ShownWhenCondensed(signal) && !leftOut) {
                const std::string item = gap + CondensedItem(signal, nameWidth);
                leftOut = DisplayWidth(line) + DisplayWidth(item) > width;
                if (!leftOut) {
                    line += item;
                }
            }
        }
        if (leftOut && DisplayWidth(line) + kColumnGap + 1 <= width) {
            line += gap + std::string(kEllipsis);
        }
        lines.push_back(FitLine(std::move(line), width));
    }
    return lines;
}

std::string MoreDevicesLine(std::size_t count, std::size_t width) {
    std::string line = std::string(kEllipsis) + " " + std::to_string(count) +
                       (count == 1 ? " more device" : " more devices");
    const std::string withAdvice = line + " (enlarge the terminal)";
    return FitLine(DisplayWidth(withAdvice) <= width ? withAdvice : line, width);
}

}  // namespace

std::string ShortenName(std::string_view text, std::size_t width) {
    if (DisplayWidth(text) <= width) {
        return std::string(text);
    }
    std::vector<std::string> words;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find(' ', start), text.size());
        if (end > start) {
            words.emplace_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    const auto joined = [&] {
        std::string line;
        for (const std::string& word : words) {
            line += (line.empty() ? "" : " ") + word;
        }
        return line;
    };
    std::size_t length = DisplayWidth(joined());
    // Words keep three letters while that is enough, and one when it is not.
    for (const std::size_t shortestWord : {kShortestWord, std::size_t{1}}) {
        while (length > width) {
            std::string* longest = nullptr;
            std::size_t longestWidth = shortestWord + 1;
            for (std::string& word : words) {
                const bool hasDigit = word.find_first_of("0123456789") != std::string::npos;
                if (!hasDigit && DisplayWidth(word) >= longestWidth) {
                    longest = &word;
                    longestWidth = DisplayWidth(word);
                }
            }
            if (longest == nullptr) {
                break;
            }
            *longest = TruncateToWidth(*longest, longestWidth - 1);
            --length;
        }
    }
    std::string abbreviated = joined();
    if (length <= width) {
        return abbreviated;
    }
    if (width == 0) {
        return {};
    }
    const std::size_t head = (width - 1) / 2;
    std::string start = TrimmedRight(TruncateToWidth(abbreviated, head));
    std::string end = LastCodePoints(abbreviated, width - 1 - head);
    end.erase(0, end.find_first_not_of(' '));
    return start + std::string(kEllipsis) + end;
}

std::vector<std::string> LayOutLiveTable(std::string_view heading,
                                         const std::vector<LiveDevice>& devices,
                                         TerminalSize terminal) {
    // The cursor ends on the line after the last one drawn, so that line must be on screen too,
    // and a line as wide as the terminal would wrap on some terminals.
    const std::size_t width = std::max<std::size_t>(terminal.columns, 2) - 1;
    const std::size_t height = std::max<std::size_t>(terminal.rows, 2) - 1;
    std::vector<std::string> lines = {FitLine(std::string(heading), width)};

    std::size_t signalCount = 0;
    for (const LiveDevice& device : devices) {
        signalCount += device.signals.size();
    }
    if (lines.size() + 1 + signalCount <= height) {
        const std::vector<std::string> table = FullTable(devices, width);
        lines.insert(lines.end(), table.begin(), table.end());
        return lines;
    }
    const std::vector<std::string> deviceLines = CondensedLines(devices, width);
    if (lines.size() + deviceLines.size() <= height) {
        lines.insert(lines.end(), deviceLines.begin(), deviceLines.end());
    } else if (height >= 2) {
        const std::size_t shown = height - 2;
        lines.insert(lines.end(), deviceLines.begin(),
                     deviceLines.begin() + static_cast<std::ptrdiff_t>(shown));
        lines.push_back(MoreDevicesLine(deviceLines.size() - shown, width));
    }
    return lines;
}

}  // namespace zentrix::cli
