#include "TextTable.h"

#include <algorithm>
#include <utility>

namespace zentrix::cli {

namespace {

bool IsContinuationByte(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

}  // namespace

std::size_t DisplayWidth(std::string_view text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return !IsContinuationByte(c); }));
}

std::string TruncateToWidth(std::string_view text, std::size_t width) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!IsContinuationByte(text[i])) {
            if (seen == width) {
                return std::string(text.substr(0, i));
            }
            ++seen;
        }
    }
    return std::string(text);
}

TextTable::TextTable(std::vector<std::string> headers) {
    m_rows.push_back(std::move(headers));
}

void TextTable::AddRow(std::vector<std::string> cells) {
    m_rows.push_back(std::move(cells));
}

std::vector<std::string> TextTable::Lines() const {
    std::vector<std::size_t> widths;
    for (const auto& row : m_rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (std::size_t column = 0; column < row.size(); ++column) {
            widths[column] = std::max(widths[column], DisplayWidth(row[column]));
        }
    }
    std::vector<std::string> lines;
    for (const auto& row : m_rows) {
        std::string line;
        for (std::size_t column = 0; column < row.size(); ++column) {
            line += row[column];
            if (column + 1 < row.size()) {
                line.append(widths[column] - DisplayWidth(row[column]) + 2, ' ');
            }
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

}  // namespace zentrix::cli
