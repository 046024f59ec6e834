#include "platform/format/RegistryText.h"

#include "platform/format/TextConversion.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

namespace zentrix {

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kLegacyHeader = "REGEDIT4";
constexpr std::array<std::string_view, kRegistryRootCount> kRootNames = {
    "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", "HKEY_USERS",
    "HKEY_CURRENT_CONFIG"};
// Regedit wraps hex data after this many bytes per line.
constexpr std::size_t kHexBytesPerLine = 25;

char FoldChar(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsFolded(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return FoldChar(x) == FoldChar(y);
           });
}

bool StartsWithFolded(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsFolded(text.substr(0, prefix.size()), prefix);
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view TrimEnd(std::string_view text) {
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    return TrimEnd(text);
}

std::optional<RegistryRoot> ParseRootName(std::string_view name) {
    for (std::size_t i = 0; i < kRootNames.size(); ++i) {
        if (EqualsFolded(name, kRootNames[i])) {
            return static_cast<RegistryRoot>(i);
        }
    }
    return std::nullopt;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool ParseHexNumber(std::string_view digits, std::uint32_t& value) {
    if (digits.empty() || digits.size() > 8) {
        return false;
    }
    std::uint32_t result = 0;
    for (const char c : digits) {
        const int digit = HexDigitValue(c);
        if (digit < 0) {
            return false;
        }
        result = (result << 4) | static_cast<std::uint32_t>(digit);
    }
    value = result;
    return true;
}

void AppendHexByte(std::string& out, std::uint32_t byte) {
    constexpr std::string_view kDigits = "0123456789abcdef";
    out += kDigits[(byte >> 4) & 0xFu];
    out += kDigits[byte & 0xFu];
}

bool HasUnpairedSurrogate(std::u16string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            ++i;
        } else if (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i])) {
            return true;
        }
    }
    return false;
}

std::u16string BytesToUtf16Le(std::string_view bytes) {
    std::u16string units(bytes.size() / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i) {
        const auto low = static_cast<unsigned char>(bytes[2 * i]);
        const auto high = static_cast<unsigned char>(bytes[2 * i + 1]);
        units[i] = static_cast<char16_t>(low | (high << 8));
    }
    return units;
}

class LineReader {
public:
    explicit LineReader(std::string_view text) : m_text(text) {}

    bool Next(std::string_view& line) {
        if (m_pos >= m_text.size()) {
            return false;
        }
        std::size_t end = m_text.find('\n', m_pos);
        if (end == std::string_view::npos) {
            end = m_text.size();
        }
        line = m_text.substr(m_pos, end - m_pos);
        m_pos = end + 1;
        ++m_lineNumber;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        return true;
    }

    // Hands the last line read out again on the next call.
    void Unread(std::string_view line) {
        m_pos = static_cast<std::size_t>(line.data() - m_text.data());
        --m_lineNumber;
    }

    // The number of the last line read, counted from 1.
    std::size_t LineNumber() const { return m_lineNumber; }

private:
    std::string_view m_text;
    std::size_t m_pos = 0;
    std::size_t m_lineNumber = 0;
};

// Only digits, commas and blanks continue hex data, so a cut-off value does not swallow the next
// entry.
bool IsHexContinuation(std::string_view line) {
    line = Trim(line);
    if (!line.empty() && line.back() == '\\') {
        line.remove_suffix(1);
    }
    return std::all_of(line.begin(), line.end(),
                       [](char c) { return HexDigitValue(c) >= 0 || c == ',' || IsBlank(c); });
}

// Regedit escapes only backslash and quote, so any other backslash is kept literally.
bool ReadQuoted(std::string_view text, std::size_t& pos, std::string& out) {
    if (pos >= text.size() || text[pos] != '"') {
        return false;
    }
    ++pos;
    while (pos < text.size()) {
        const char c = text[pos];
        if (c == '\\' && pos + 1 < text.size() && (text[pos + 1] == '\\' || text[pos + 1] == '"')) {
            out += text[pos + 1];
            pos += 2;
        } else if (c == '"') {
            ++pos;
            return true;
        } else {
            out += c;
            ++pos;
        }
    }
    return false;
}

void AppendQuoted(std::string& out, std::string_view text) {
    out += '"';
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
    out += '"';
}

struct HexValue {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> bytes;
};

// Continuation lines are joined before the bytes are checked, so regedit may wrap anywhere.
std::optional<HexValue> ParseHexValue(std::string_view raw) {
    HexValue result{3, {}};
    std::size_t pos = 3;
    if (pos < raw.size() && raw[pos] == '(') {
        const std::size_t close = raw.find(')', pos);
        if (close == std::string_view::npos ||
            !ParseHexNumber(raw.substr(pos + 1, close - pos - 1), result.type)) {
            return std::nullopt;
        }
        pos = close + 1;
    }
    if (pos >= raw.size() || raw[pos] != ':') {
        return std::nullopt;
    }
    const std::string_view rest = raw.substr(pos + 1);
    std::string content;
    std::size_t start = 0;
    while (true) {
        const std::size_t newline = rest.find('\n', start);
        std::string_view piece = rest.substr(
            start, newline == std::string_view::npos ? std::string_view::npos : newline - start);
        if (newline == std::string_view::npos) {
            content += piece;
            break;
        }
        if (piece.empty() || piece.back() != '\\') {
            return std::nullopt;
        }
        piece.remove_suffix(1);
        content += piece;
        start = newline + 1;
    }
    const std::string_view list = Trim(content);
    std::size_t tokenStart = 0;
    while (!list.empty()) {
        const std::size_t comma = list.find(',', tokenStart);
        const std::string_view token =
            Trim(list.substr(tokenStart, comma == std::string_view::npos ? std::string_view::npos
                                                                         : comma - tokenStart));
        if (token.empty() && comma == std::string_view::npos && !result.bytes.empty()) {
            break;
        }
        std::uint32_t byte = 0;
        if (token.size() > 2 || !ParseHexNumber(token, byte)) {
            return std::nullopt;
        }
        result.bytes.push_back(static_cast<std::uint8_t>(byte));
        if (comma == std::string_view::npos) {
            break;
        }
        tokenStart = comma + 1;
    }
    return result;
}

// A REG_SZ stored as hex(1) is UTF-16LE; it counts as a string only if it converts exactly.
std::optional<std::string> DecodeHexString(const HexValue& value) {
    if (value.type != 1 || value.bytes.size() % 2 != 0) {
        return std::nullopt;
    }
    const std::string_view bytes(reinterpret_cast<const char*>(value.bytes.data()),
                                 value.bytes.size());
    std::u16string units = BytesToUtf16Le(bytes);
    if (!units.empty() && units.back() == u'\0') {
        units.pop_back();
    }
    if (HasUnpairedSurrogate(units)) {
        return std::nullopt;
    }
    return Utf16ToUtf8(units);
}

// A quoted string cannot span lines, so strings with line breaks or NUL are written the way
// regedit imports them: as hex(1) UTF-16LE data with a terminating NUL.
void AppendHexString(std::string& out, std::string_view text) {
    std::u16string units = Utf8ToUtf16(text);
    units += u'\0';
    out += "hex(1):";
    for (std::size_t i = 0; i < units.size() * 2; ++i) {
        if (i > 0) {
            out += ',';
            if (i % kHexBytesPerLine == 0) {
                out += "\\\n  ";
            }
        }
        const char16_t unit = units[i / 2];
        AppendHexByte(out, i % 2 == 0 ? (unit & 0xFFu) : (unit >> 8u));
    }
}

// Hex data may continue on later lines, so the reader is passed in to consume them; the name is
// left in parsedName as soon as it was read, so that a damaged line can be told apart by value.
bool ApplyValueLine(std::string_view line, LineReader& reader, RegistryKey* key,
                    std::optional<std::string>& parsedName) {
    std::string name;
    std::size_t pos = 0;
    if (line.front() == '@') {
        pos = 1;
    } else if (!ReadQuoted(line, pos, name)) {
        return false;
    }
    parsedName = name;
    while (pos < line.size() && IsBlank(line[pos])) {
        ++pos;
    }
    if (pos >= line.size() || line[pos] != '=') {
        return false;
    }
    const std::string_view data = Trim(line.substr(pos + 1));
    if (StartsWithFolded(data, "hex")) {
        std::string raw(data);
        std::string_view piece = data;
        while (!piece.empty() && piece.back() == '\\') {
            std::string_view next;
            if (!reader.Next(next)) {
                return false;
            }
            if (!IsHexContinuation(next)) {
                reader.Unread(next);
                return false;
            }
            piece = TrimEnd(next);
            raw += '\n';
            raw += piece;
        }
        const std::optional<HexValue> hex = ParseHexValue(raw);
        if (!hex || key == nullptr) {
            return false;
        }
        if (std::optional<std::string> text = DecodeHexString(*hex)) {
            return RegistryTree::PutValue(*key, name, RegistryValueKind::String, std::move(*text),
                                          0);
        }
        return RegistryTree::PutValue(*key, name, RegistryValueKind::Raw, std::move(raw), 0);
    }
    if (key == nullptr || data.empty()) {
        return false;
    }
    if (data == "-") {
        key->values.erase(FoldRegistryName(name));
        return true;
    }
    if (data.front() == '"') {
        std::string text;
        std::size_t end = 0;
        if (!ReadQuoted(data, end, text) || end != data.size()) {
            return false;
        }
        return RegistryTree::PutValue(*key, name, RegistryValueKind::String, std::move(text), 0);
    }
    constexpr std::string_view kDwordPrefix = "dword:";
    std::uint32_t dword = 0;
    if (StartsWithFolded(data, kDwordPrefix) && data.size() == kDwordPrefix.size() + 8 &&
        ParseHexNumber(data.substr(kDwordPrefix.size()), dword)) {
        return RegistryTree::PutValue(*key, name, RegistryValueKind::Dword, {}, dword);
    }
    return false;
}

void AppendValue(std::string& out, const RegistryValue& value) {
    if (value.name.empty()) {
        out += '@';
    } else {
        AppendQuoted(out, value.name);
    }
    out += '=';
    switch (value.kind) {
        case RegistryValueKind::String:
            if (NeedsUtf16Storage(value.text)) {
                AppendHexString(out, value.text);
            } else {
                AppendQuoted(out, value.text);
            }
            break;
        case RegistryValueKind::Dword:
            out += "dword:";
            for (int shift = 24; shift >= 0; shift -= 8) {
                AppendHexByte(out, value.dword >> shift);
            }
            break;
        case RegistryValueKind::Raw:
            out += value.text;
            break;
    }
    out += '\n';
}

// Writes a key and then its subkeys depth first, so parents always precede their children.
void AppendKey(std::string& out, std::string& path, const RegistryKey& key, bool isRoot) {
    if (!isRoot || !key.values.empty()) {
        out += '[';
        out += path;
        out += "]\n";
        std::vector<const RegistryValue*> ordered;
        ordered.reserve(key.values.size());
        for (const auto& entry : key.values) {
            ordered.push_back(&entry.second);
        }
        std::sort(ordered.begin(), ordered.end(), [](const auto* a, const auto* b) {
            return std::make_tuple(!a->name.empty(), a->order) <
                   std::make_tuple(!b->name.empty(), b->order);
        });
        for (const RegistryValue* value : ordered) {
            AppendValue(out, *value);
        }
        out += '\n';
    }
    for (const auto& entry : key.subKeys) {
        const std::size_t length = path.size();
        path += '\\';
        path += entry.second->name;
        AppendKey(out, path, *entry.second, false);
        path.resize(length);
    }
}

}  // namespace

DecodedRegistryText DecodeRegistryBytes(std::string_view bytes) {
    DecodedRegistryText decoded;
    if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
        bytes.remove_prefix(2);
        decoded.cutInsideCharacter = bytes.size() % 2 != 0;
        decoded.text = Utf16ToUtf8(BytesToUtf16Le(bytes));
        return decoded;
    }
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        bytes.remove_prefix(3);
    }
    decoded.text = std::string(bytes);
    return decoded;
}

void ReadRegistryText(std::string_view text, RegistryTree& tree, RegistryTextObserver& observer) {
    LineReader reader(text);
    std::string_view line;
    const std::string_view header = reader.Next(line) ? Trim(line) : std::string_view{};
    if (header != kHeader && header != kLegacyHeader) {
        observer.NotARegistryFile();
        return;
    }
    RegistryKey* current = nullptr;
    RegistryRoot currentRoot = RegistryRoot::ClassesRoot;
    std::string currentPath;
    const auto applySection = [&](std::string_view section) {
        current = nullptr;
        const bool closed = section.size() >= 2 && section.back() == ']';
        std::string_view inner = section.substr(1);
        // Text after the last bracket of a damaged line is taken as trailing garbage.
        if (const std::size_t bracket = inner.rfind(']'); bracket != std::string_view::npos) {
            inner = inner.substr(0, bracket);
        }
        const bool deletion = !inner.empty() && inner.front() == '-';
        if (deletion) {
            inner.remove_prefix(1);
        }
        const std::size_t separator = inner.find('\\');
        const std::optional<RegistryRoot> root = ParseRootName(inner.substr(0, separator));
        const std::string_view keyPath =
            separator == std::string_view::npos ? std::string_view{} : inner.substr(separator + 1);
        const auto parts = root ? RegistryTree::SplitKeyPath(keyPath) : std::nullopt;
        if (!parts) {
            return false;
        }
        // An unclosed section is damaged; regedit refuses to delete a whole root, and a
        // dropped-in file must not wipe one.
        if (!closed || (deletion && parts->empty())) {
            observer.SectionRefused(*root, keyPath, deletion);
            return false;
        }
        if (deletion) {
            tree.DeleteKeyTree(*root, keyPath);
            observer.KeyTreeDeleted(*root, keyPath);
            return true;
        }
        current = tree.CreateKeyPath(*root, keyPath);
        currentRoot = *root;
        currentPath = keyPath;
        return current != nullptr;
    };
    while (reader.Next(line)) {
        const std::size_t lineNumber = reader.LineNumber();
        const std::string_view trimmed = Trim(line);
        if (trimmed.empty() || trimmed.front() == ';') {
            continue;
        }
        bool parsed = false;
        if (trimmed.front() == '[') {
            parsed = applySection(trimmed);
        } else if (trimmed.front() == '"' || trimmed.front() == '@') {
            std::optional<std::string> name;
            parsed = ApplyValueLine(trimmed, reader, current, name);
            if (current != nullptr && name) {
                observer.ValueLineRead(currentRoot, currentPath, *name, parsed);
            }
        }
        if (!parsed) {
            observer.LineSkipped(lineNumber, trimmed);
        }
    }
}

std::string WriteRegistryText(const RegistryTree& tree) {
    std::string out(kHeader);
    out += "\n\n";
    for (std::size_t i = 0; i < kRootNames.size(); ++i) {
        std::string path(kRootNames[i]);
        AppendKey(out, path, tree.Root(static_cast<RegistryRoot>(i)), true);
    }
    return out;
}

}  // namespace zentrix
