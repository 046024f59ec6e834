#include "ProgIdLookup.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "CliError.h"
#include "Paths.h"
#include "Unicode.h"

namespace zentrix::cli {

namespace {

constexpr std::string_view kClassesRoot = "HKEY_CLASSES_ROOT\\";

std::string LowerAscii(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

std::string_view Trim(std::string_view text) {
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::string DecodeToUtf8(std::string_view bytes) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        std::u16string units;
        units.reserve(bytes.size() / 2);
        for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
            units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                                  (static_cast<unsigned char>(bytes[i + 1]) << 8)));
        }
        return Utf16ToUtf8(units);
    }
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        bytes.remove_prefix(3);
    }
    return std::string(bytes);
}

// Reads a quoted .reg string, where only \\ and \" are escapes; nullopt when the quote is open.
std::optional<std::string> ParseQuoted(std::string_view text) {
    if (text.empty() || text.front() != '"') {
        return std::nullopt;
    }
    std::string value;
    for (std::size_t i = 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            return value;
        }
        if (c == '\\' && i + 1 < text.size()) {
            ++i;
        }
        value.push_back(text[i]);
    }
    return std::nullopt;
}

}  // namespace

RegistryFile RegistryFile::Parse(std::string_view bytes) {
    RegistryFile file;
    const std::string text = DecodeToUtf8(bytes);
    std::istringstream lines(text);
    std::string line;
    std::optional<std::string> currentKey;
    while (std::getline(lines, line)) {
        const std::string_view trimmed = Trim(line);
        if (trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']') {
            const std::string_view key = trimmed.substr(1, trimmed.size() - 2);
            if (key.starts_with('-')) {
                currentKey.reset();
            } else {
                currentKey = LowerAscii(key);
            }
        } else if (currentKey && trimmed.starts_with("@=")) {
            if (auto value = ParseQuoted(trimmed.substr(2))) {
                file.m_defaults[*currentKey] = std::move(*value);
            }
        }
    }
    return file;
}

RegistryFile RegistryFile::Read(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw CliError("cannot read the registry store " + path.string());
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return Parse(bytes);
}

std::optional<std::string> RegistryFile::DefaultValue(std::string_view keyPath) const {
    const auto found = m_defaults.find(LowerAscii(keyPath));
    if (found == m_defaults.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::filesystem::path RegistryStorePath() {
    if (const char* path = std::getenv("ZENTRIX_REGISTRY"); path != nullptr && *path != '\0') {
        return path;
    }
    return UserConfigHome() / "zentrix" / "registry.reg";
}

std::optional<GUID> ParseGuid(std::string_view text) {
    text = Trim(text);
    if (text.size() != 38 || text.front() != '{' || text.back() != '}') {
        return std::nullopt;
    }
    std::string digits;
    for (std::size_t i = 1; i + 1 < text.size(); ++i) {
        const char c = text[i];
        const bool dashExpected = i == 9 || i == 14 || i == 19 || i == 24;
        if (dashExpected != (c == '-')) {
            return std::nullopt;
        }
        if (!dashExpected) {
            if (std::isxdigit(static_cast<unsigned char>(c)) == 0) {
                return std::nullopt;
            }
            digits.push_back(c);
        }
    }
    const auto hex = [&digits](std::size_t offset, std::size_t length) {
        return std::strtoull(digits.substr(offset, length).c_str(), nullptr, 16);
    };
    GUID guid{};
    guid.Data1 = static_cast<std::uint32_t>(hex(0, 8));
    guid.Data2 = static_cast<std::uint16_t>(hex(8, 4));
    guid.Data3 = static_cast<std::uint16_t>(hex(12, 4));
    for (std::size_t i = 0; i < 8; ++i) {
        guid.Data4[i] = static_cast<std::uint8_t>(hex(16 + 2 * i, 2));
    }
    return guid;
}

RegisteredClass ResolveProgId(std::string_view progId) {
    const std::filesystem::path storePath = RegistryStorePath();
    std::error_code error;
    if (!std::filesystem::exists(storePath, error)) {
        throw CliError("ProgID \"" + std::string(progId) + "\" is not registered: " +
                       storePath.string() + " does not exist (run \"zentrix register\")");
    }
    const RegistryFile store = RegistryFile::Read(storePath);
    const std::string progIdKey = std::string(kClassesRoot) + std::string(progId);
    std::optional<std::string> classIdText = store.DefaultValue(progIdKey + "\\CLSID");
    if (!classIdText) {
        if (const auto currentVersion = store.DefaultValue(progIdKey + "\\CurVer")) {
            classIdText =
                store.DefaultValue(std::string(kClassesRoot) + *currentVersion + "\\CLSID");
        }
    }
    if (!classIdText) {
        throw CliError("ProgID \"" + std::string(progId) + "\" is not registered in " +
                       storePath.string() + " (run \"zentrix register\")");
    }
    const std::optional<GUID> classId = ParseGuid(*classIdText);
    if (!classId) {
        throw CliError("ProgID \"" + std::string(progId) + "\" names a malformed CLSID \"" +
                       *classIdText + "\" in " + storePath.string());
    }
    const std::string serverKey = std::string(kClassesRoot) + "CLSID\\" +
                                  std::string(Trim(*classIdText)) + "\\InprocServer32";
    const std::optional<std::string> library = store.DefaultValue(serverKey);
    if (!library || library->empty()) {
        throw CliError("class " + *classIdText + " of ProgID \"" + std::string(progId) +
                       "\" has no InprocServer32 library in " + storePath.string());
    }
    return {*classId, *library};
}

}  // namespace zentrix::cli
