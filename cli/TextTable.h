// Column-aligned plain-text tables for the listing commands and the live monitor.
#ifndef ZENTRIX_CLI_TEXTTABLE_H
#define ZENTRIX_CLI_TEXTTABLE_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zentrix::cli {

// Counts code points, which is the width of the names this host prints.
std::size_t DisplayWidth(std::string_view text);

// Cuts text to at most width code points without splitting a UTF-8 sequence.
std::string TruncateToWidth(std::string_view text, std::size_t width);

class TextTable {
public:
    explicit TextTable(std::vector<std::string> headers);

    void AddRow(std::vector<std::string> cells);

    // One string per line, header first, trailing spaces removed.
    std::vector<std::string> Lines() const;

private:
    std::vector<std::vector<std::string>> m_rows;
};

}  // namespace zentrix::cli

#endif
