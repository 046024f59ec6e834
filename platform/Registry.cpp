#include "platform/Registry.h"

#include "platform/AtomicFile.h"
#include "platform/Log.h"
#include "platform/TextConversion.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <tuple>
#include <utility>

namespace zentrix {

namespace detail {

RegistryKey::RegistryKey(const RegistryKey& other)
    : name(other.name), values(other.values), nextOrder(other.nextOrder) {
    for (const auto& [folded, child] : other.subKeys) {
        subKeys.emplace_hint(subKeys.end(), folded, std::make_unique<RegistryKey>(*child));
    }
}

RegistryKey& RegistryKey::operator=(const RegistryKey& other) {
    RegistryKey copy(other);
    *this = std::move(copy);
    return *this;
}

}  // namespace detail

namespace {

using detail::RegistryKey;
using detail::RegistryValue;
using detail::RegistryValueKind;

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kLegacyHeader = "REGEDIT4";
constexpr std::array<std::string_view, 5> kRootNames = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",
                                                        "HKEY_LOCAL_MACHINE", "HKEY_USERS",
                                                        "HKEY_CURRENT_CONFIG"};
// Regedit wraps hex data after this many bytes per line.
constexpr std::size_t kHexBytesPerLine = 25;

char FoldChar(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Fold(std::string_view text) {
    std::string folded(text);
    std::transform(folded.begin(), folded.end(), folded.begin(), FoldChar);
    return folded;
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

// Names are written on one line of the file, so line breaks cannot be represented, and NUL
// cannot appear in a name on Windows either.
bool IsStorableName(std::string_view name) {
    return name.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

// Empty components are skipped so that leading, trailing or doubled backslashes are tolerated.
std::optional<std::vector<std::string_view>> SplitKeyPath(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('\\', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        const std::string_view part = path.substr(start, end - start);
        if (!part.empty()) {
            if (!IsStorableName(part) || parts.size() == RegistryStore::kMaxKeyDepth) {
                return std::nullopt;
            }
            parts.push_back(part);
        }
        start = end + 1;
    }
    return parts;
}

std::optional<RegistryRoot> ParseRootName(std::string_view name) {
    for (std::size_t i = 0; i < kRootNames.size(); ++i) {
        if (EqualsFolded(name, kRootNames[i])) {
            return static_cast<RegistryRoot>(i);
        }
    }
    return std::nullopt;
}

// Names a key by its root's index and its lower-cased path, so that damage found while loading
// can be looked up however the key is spelled.
std::optional<std::string> KeyId(RegistryRoot root, std::string_view keyPath) {
    const auto parts = SplitKeyPath(keyPath);
    if (!parts) {
        return std::nullopt;
    }
    std::string id = std::to_string(static_cast<int>(root));
    for (const std::string_view part : *parts) {
        id += '\\';
        id += Fold(part);
    }
    return id;
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
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        return true;
    }

    // Hands the last line read out again on the next call.
    void Unread(std::string_view line) {
        m_pos = static_cast<std::size_t>(line.data() - m_text.data());
    }

private:
    std::string_view m_text;
    std::size_t m_pos = 0;
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

bool NeedsHexString(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// A string that must be written as UTF-16 reads back the same only if it is valid UTF-8; any other
// string is written as its bytes.
bool IsStorableString(std::string_view text) {
    return !NeedsHexString(text) || Utf16ToUtf8(Utf8ToUtf16(text)) == text;
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

bool PutValue(RegistryKey& key, std::string_view name, RegistryValueKind kind, std::string text,
              std::uint32_t dword) {
    if (!IsStorableName(name) || (kind == RegistryValueKind::String && !IsStorableString(text))) {
        return false;
    }
    std::string folded = Fold(name);
    auto it = key.values.find(folded);
    if (it == key.values.end()) {
        it = key.values
                 .emplace(std::move(folded),
                          RegistryValue{std::string(name), kind, {}, 0, key.nextOrder++})
                 .first;
    }
    it->second.kind = kind;
    it->second.text = std::move(text);
    it->second.dword = dword;
    return true;
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
            return PutValue(*key, name, RegistryValueKind::String, std::move(*text), 0);
        }
        return PutValue(*key, name, RegistryValueKind::Raw, std::move(raw), 0);
    }
    if (key == nullptr || data.empty()) {
        return false;
    }
    if (data == "-") {
        key->values.erase(Fold(name));
        return true;
    }
    if (data.front() == '"') {
        std::string text;
        std::size_t end = 0;
        if (!ReadQuoted(data, end, text) || end != data.size()) {
            return false;
        }
        return PutValue(*key, name, RegistryValueKind::String, std::move(text), 0);
    }
    constexpr std::string_view kDwordPrefix = "dword:";
    std::uint32_t dword = 0;
    if (StartsWithFolded(data, kDwordPrefix) && data.size() == kDwordPrefix.size() + 8 &&
        ParseHexNumber(data.substr(kDwordPrefix.size()), dword)) {
        return PutValue(*key, name, RegistryValueKind::Dword, {}, dword);
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
            if (NeedsHexString(value.text)) {
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

enum class ReadStatus { Ok, Missing, Failed };

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    int Get() const { return m_fd; }

private:
    int m_fd;
};

ReadStatus ReadFileBytes(const std::filesystem::path& path, std::string& bytes) {
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.Get() < 0) {
        return (errno == ENOENT || errno == ENOTDIR) ? ReadStatus::Missing : ReadStatus::Failed;
    }
    struct stat info {};
    if (::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::uintmax_t>(info.st_size) > RegistryStore::kMaxFileSize) {
        return ReadStatus::Failed;
    }
    bytes.resize(static_cast<std::size_t>(info.st_size));
    std::size_t total = 0;
    char probe = 0;
    while (true) {
        char* target = total < bytes.size() ? bytes.data() + total : &probe;
        const std::size_t room = total < bytes.size() ? bytes.size() - total : 1;
        const ssize_t count = ::read(file.Get(), target, room);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return ReadStatus::Failed;
        }
        if (count == 0) {
            break;
        }
        if (target == &probe) {
            return ReadStatus::Failed;
        }
        total += static_cast<std::size_t>(count);
    }
    bytes.resize(total);
    return ReadStatus::Ok;
}

std::filesystem::path HomeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384u);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr && *found->pw_dir != '\0') {
        return found->pw_dir;
    }
    return {};
}

}  // namespace

std::filesystem::path RegistryStore::DefaultPath() {
    if (const char* explicitPath = std::getenv("ZENTRIX_REGISTRY");
        explicitPath != nullptr && *explicitPath != '\0') {
        return explicitPath;
    }
    std::filesystem::path configHome;
    // Relative XDG_CONFIG_HOME values are invalid under the XDG base directory rules.
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME");
        xdg != nullptr && *xdg != '\0' && std::filesystem::path(xdg).is_absolute()) {
        configHome = xdg;
    } else {
        const std::filesystem::path home = HomeDirectory();
        if (home.empty()) {
            return {};
        }
        configHome = home / ".config";
    }
    return configHome / "zentrix" / "registry.reg";
}

RegistryStore RegistryStore::Load(const std::filesystem::path& path) noexcept {
    try {
        std::string bytes;
        const ReadStatus status = ReadFileBytes(path, bytes);
        if (status == ReadStatus::Missing) {
            return RegistryStore();
        }
        if (status == ReadStatus::Failed) {
            LogLazily(LogLevel::Warning, "registry", [&] {
                return path.string() + ": cannot be read; every value counts as damaged";
            });
            RegistryStore store;
            store.MarkUnreadable();
            return store;
        }
        return FromBytes(bytes, path);
    } catch (...) {
        LogLazily(LogLevel::Warning, "registry", [&] {
            return path.string() + ": reading failed; every value counts as damaged";
        });
        RegistryStore damaged;
        damaged.MarkUnreadable();
        return damaged;
    }
}

RegistryStore RegistryStore::FromBytes(std::string_view bytes,
                                       const std::filesystem::path& source) noexcept {
    RegistryStore store;
    try {
        std::string_view text = bytes;
        std::string converted;
        if (text.size() >= 2 && text[0] == '\xFF' && text[1] == '\xFE') {
            text.remove_prefix(2);
            // A file cut inside a code unit may have lost the end of any value.
            if (text.size() % 2 != 0) {
                LogLazily(LogLevel::Warning, "registry", [&] {
                    return source.string() +
                           ": cut inside a character; every value counts as damaged";
                });
                store.MarkUnreadable();
            }
            converted = Utf16ToUtf8(BytesToUtf16Le(text));
            text = converted;
        } else if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") {
            text.remove_prefix(3);
        }
        store.ParseText(text, source);
    } catch (...) {
        LogLazily(LogLevel::Warning, "registry", [&] {
            return source.string() + ": reading failed; every value counts as damaged";
        });
        RegistryStore damaged;
        damaged.MarkUnreadable();
        return damaged;
    }
    return store;
}

void RegistryStore::MarkUnreadable() {
    m_damaged = true;
    m_unreadable = true;
}

void RegistryStore::ParseText(std::string_view text, const std::filesystem::path& source) {
    LineReader reader(text);
    std::string_view line;
    const std::string_view header = reader.Next(line) ? Trim(line) : std::string_view{};
    if (header != kHeader && header != kLegacyHeader) {
        LogLazily(LogLevel::Warning, "registry", [&] {
            return source.string() +
                   ": not a registry file (line 1); every value counts as damaged";
        });
        MarkUnreadable();
        return;
    }
    RegistryKey* current = nullptr;
    std::string currentId;
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
        const std::optional<std::string> id = root ? KeyId(*root, keyPath) : std::nullopt;
        if (!id) {
            return false;
        }
        // An unclosed section is damaged; regedit refuses to delete a whole root, and a
        // dropped-in file must not wipe one.
        if (!closed || (deletion && *id == KeyId(*root, {}))) {
            (deletion ? m_damagedTrees : m_damagedKeys).insert(*id);
            return false;
        }
        if (deletion) {
            DeleteKeyTree(*root, keyPath);
            ForgetDamageBelow(*id);
            return true;
        }
        current = CreateKeyPath(*root, keyPath);
        currentId = *id;
        return current != nullptr;
    };
    while (reader.Next(line)) {
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
                const std::string valueId = currentId + '\n' + Fold(*name);
                if (parsed) {
                    m_damagedValues.erase(valueId);
                } else {
                    m_damagedValues.insert(valueId);
                }
            }
        }
        if (!parsed) {
            m_damaged = true;
            LogLazily(LogLevel::Warning, "registry", [&] {
                const auto before =
                    text.substr(0, static_cast<std::size_t>(trimmed.data() - text.data()));
                return source.string() + ": line " +
                       std::to_string(1 + std::count(before.begin(), before.end(), '\n')) +
                       ": damaged, ignored: " + std::string(trimmed.substr(0, 80));
            });
        }
    }
}

void RegistryStore::ForgetDamageBelow(const std::string& keyId) {
    const auto isBelow = [&keyId](const std::string& id) {
        return id.size() >= keyId.size() && id.compare(0, keyId.size(), keyId) == 0 &&
               (id.size() == keyId.size() || id[keyId.size()] == '\\' || id[keyId.size()] == '\n');
    };
    std::erase_if(m_damagedKeys, isBelow);
    std::erase_if(m_damagedTrees, isBelow);
    std::erase_if(m_damagedValues, isBelow);
}

bool RegistryStore::IsValueDamaged(RegistryRoot root, std::string_view keyPath,
                                   std::string_view valueName) const {
    if (m_unreadable) {
        return true;
    }
    const std::optional<std::string> id = KeyId(root, keyPath);
    if (!id) {
        return false;
    }
    if (m_damagedKeys.contains(*id) || m_damagedValues.contains(*id + '\n' + Fold(valueName))) {
        return true;
    }
    for (std::size_t end = id->find('\\');; end = id->find('\\', end + 1)) {
        if (m_damagedTrees.contains(id->substr(0, end))) {
            return true;
        }
        if (end == std::string::npos) {
            return false;
        }
    }
}

std::string RegistryStore::Serialize() const {
    std::string out(kHeader);
    out += "\n\n";
    for (std::size_t i = 0; i < m_roots.size(); ++i) {
        std::string path(kRootNames[i]);
        AppendKey(out, path, m_roots[i], true);
    }
    return out;
}

const RegistryKey* RegistryStore::FindKey(RegistryRoot root, std::string_view keyPath) const {
    const auto index = static_cast<std::size_t>(root);
    const auto parts = SplitKeyPath(keyPath);
    if (index >= m_roots.size() || !parts) {
        return nullptr;
    }
    const RegistryKey* key = &m_roots[index];
    for (const std::string_view part : *parts) {
        const auto it = key->subKeys.find(Fold(part));
        if (it == key->subKeys.end()) {
            return nullptr;
        }
        key = it->second.get();
    }
    return key;
}

RegistryKey* RegistryStore::FindKey(RegistryRoot root, std::string_view keyPath) {
    return const_cast<RegistryKey*>(std::as_const(*this).FindKey(root, keyPath));
}

RegistryKey* RegistryStore::CreateKeyPath(RegistryRoot root, std::string_view keyPath) {
    const auto index = static_cast<std::size_t>(root);
    const auto parts = SplitKeyPath(keyPath);
    if (index >= m_roots.size() || !parts) {
        return nullptr;
    }
    RegistryKey* key = &m_roots[index];
    for (const std::string_view part : *parts) {
        std::string folded = Fold(part);
        auto it = key->subKeys.find(folded);
        if (it == key->subKeys.end()) {
            it = key->subKeys
                     .emplace(std::move(folded), std::make_unique<RegistryKey>(std::string(part)))
                     .first;
        }
        key = it->second.get();
    }
    return key;
}

std::optional<std::uint32_t> RegistryStore::GetDword(RegistryRoot root, std::string_view keyPath,
                                                     std::string_view valueName) const {
    const RegistryKey* key = FindKey(root, keyPath);
    if (key == nullptr) {
        return std::nullopt;
    }
    const auto it = key->values.find(Fold(valueName));
    if (it == key->values.end() || it->second.kind != RegistryValueKind::Dword) {
        return std::nullopt;
    }
    return it->second.dword;
}

std::optional<std::string> RegistryStore::GetString(RegistryRoot root, std::string_view keyPath,
                                                    std::string_view valueName) const {
    const RegistryKey* key = FindKey(root, keyPath);
    if (key == nullptr) {
        return std::nullopt;
    }
    const auto it = key->values.find(Fold(valueName));
    if (it == key->values.end() || it->second.kind != RegistryValueKind::String) {
        return std::nullopt;
    }
    return it->second.text;
}

bool RegistryStore::KeyExists(RegistryRoot root, std::string_view keyPath) const {
    return FindKey(root, keyPath) != nullptr;
}

std::vector<std::string> RegistryStore::GetSubKeyNames(RegistryRoot root,
                                                       std::string_view keyPath) const {
    std::vector<std::string> names;
    if (const RegistryKey* key = FindKey(root, keyPath)) {
        names.reserve(key->subKeys.size());
        for (const auto& entry : key->subKeys) {
            names.push_back(entry.second->name);
        }
    }
    return names;
}

void RegistryStore::CreateKey(RegistryRoot root, std::string_view keyPath) {
    CreateKeyPath(root, keyPath);
}

void RegistryStore::SetString(RegistryRoot root, std::string_view keyPath,
                              std::string_view valueName, std::string_view value) {
    if (!IsStorableName(valueName)) {
        return;
    }
    if (RegistryKey* key = CreateKeyPath(root, keyPath)) {
        PutValue(*key, valueName, RegistryValueKind::String, std::string(value), 0);
    }
}

void RegistryStore::SetDword(RegistryRoot root, std::string_view keyPath,
                             std::string_view valueName, std::uint32_t value) {
    if (!IsStorableName(valueName)) {
        return;
    }
    if (RegistryKey* key = CreateKeyPath(root, keyPath)) {
        PutValue(*key, valueName, RegistryValueKind::Dword, {}, value);
    }
}

void RegistryStore::DeleteValue(RegistryRoot root, std::string_view keyPath,
                                std::string_view valueName) {
    if (RegistryKey* key = FindKey(root, keyPath)) {
        key->values.erase(Fold(valueName));
    }
}

void RegistryStore::DeleteKeyTree(RegistryRoot root, std::string_view keyPath) {
    const auto index = static_cast<std::size_t>(root);
    const auto parts = SplitKeyPath(keyPath);
    if (index >= m_roots.size() || !parts) {
        return;
    }
    RegistryKey* parent = &m_roots[index];
    if (parts->empty()) {
        parent->values.clear();
        parent->subKeys.clear();
        return;
    }
    for (std::size_t i = 0; i + 1 < parts->size(); ++i) {
        const auto it = parent->subKeys.find(Fold((*parts)[i]));
        if (it == parent->subKeys.end()) {
            return;
        }
        parent = it->second.get();
    }
    parent->subKeys.erase(Fold(parts->back()));
}

bool RegistryStore::Save(const std::filesystem::path& path) const noexcept {
    try {
        if (path.filename().empty()) {
            return false;
        }
        const std::string data = Serialize();
        std::filesystem::path directory = path.parent_path();
        if (directory.empty()) {
            directory = ".";
        }
        std::error_code error;
        std::filesystem::create_directories(directory, error);
        if (error) {
            return false;
        }
        // A new store stays private to the user, as the registry's own hive files are.
        return WriteFileAtomically(path, data, S_IRUSR | S_IWUSR);
    } catch (...) {
        return false;
    }
}

std::uint32_t ReadRegistryNumber(RegistryRoot root, std::string_view keyPath,
                                 std::string_view valueName, std::uint32_t defaultValue) noexcept {
    try {
        const RegistryStore store = RegistryStore::Load(RegistryStore::DefaultPath());
        if (store.IsValueDamaged(root, keyPath, valueName)) {
            return defaultValue;
        }
        return store.GetDword(root, keyPath, valueName).value_or(defaultValue);
    } catch (...) {
        return defaultValue;
    }
}

}  // namespace zentrix
