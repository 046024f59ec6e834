// The lines of the monitor's live table, laid out to fit a terminal of a given size so that a
// redraw can always move the cursor back to its first line.
#ifndef ZENTRIX_CLI_LIVETABLE_H
#define ZENTRIX_CLI_LIVETABLE_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zentrix::cli {

struct LiveSignal {
    std::string name;
    std::string type;
    std::string value;
    // Empty unless the signal is a counting one.
    std::string total;
    bool counting = false;
    // Whether the value differs from the previous sample's, and from the signal's resting value.
    bool changed = false;
    bool atDefault = true;
};

struct LiveDevice {
    std::string name;
    std::vector<LiveSignal> signals;
};

struct TerminalSize {
    std::size_t columns = 80;
    std::size_t rows = 24;
};

// Fits a name into width code points: the longest word loses its last letter (the rightmost of
// equally long ones) down to three letters, then down to one, while words with digits stay
// whole, so "Button 1 presses" keeps its number; a name still too long then gets an ellipsis in
// place of its middle.
std::string ShortenName(std::string_view text, std::size_t width);

// The heading first, then the full table when it fits, else one line per device with its
// totals and its signals away from rest, else as many device lines as fit and a line saying how
// many are left out; every line at most columns - 1 wide and at most rows - 1 lines in all.
std::vector<std::string> LayOutLiveTable(std::string_view heading,
                                         const std::vector<LiveDevice>& devices,
                                         TerminalSize terminal);

}  // namespace zentrix::cli

#endif
