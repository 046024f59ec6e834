#include "ProgIdLookup.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "CliError.h"
#include "Paths.h"
#include "platform/format/RegistryText.h"

namespace zentrix::cli {

namespace {

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

}  // namespace

RegistryTree ReadRegistryStore(const std::filesystem::path& storePath) {
    std::ifstream in(storePath, std::ios::binary);
    if (!in) {
        throw CliError("cannot read the registry store " + storePath.string());
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    RegistryTree store;
    // The host only looks values up, so which lines were damaged does not matter to it.
    RegistryTextObserver ignoreDamage;
    ReadRegistryText(DecodeRegistryBytes(bytes).text, store, ignoreDamage);
    return store;
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

RegisteredClass FindRegisteredClass(const RegistryTree& store, std::string_view progId,
                                    const std::filesystem::path& storePath) {
    const auto defaultValue = [&store](const std::string& keyPath) {
        return store.GetString(RegistryRoot::ClassesRoot, keyPath, "");
    };
    const std::string progIdKey(progId);
    std::optional<std::string> classIdText = defaultValue(progIdKey + "\\CLSID");
    if (!classIdText) {
        if (const auto currentVersion = defaultValue(progIdKey + "\\CurVer")) {
            classIdText = defaultValue(*currentVersion + "\\CLSID");
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
    const std::string serverKey = "CLSID\\" + std::string(Trim(*classIdText)) + "\\InprocServer32";
    const std::optional<std::string> library = defaultValue(serverKey);
    if (!library || library->empty()) {
        throw CliError("class " + *classIdText + " of ProgID \"" + std::string(progId) +
                       "\" has no InprocServer32 library in " + storePath.string());
    }
    return {*classId, *library};
}

RegisteredClass ResolveProgId(std::string_view progId) {
    const std::filesystem::path storePath = RegistryStorePath();
    std::error_code error;
    if (!std::filesystem::exists(storePath, error)) {
        throw CliError("ProgID \"" + std::string(progId) + "\" is not registered: " +
                       storePath.string() + " does not exist (run \"zentrix register\")");
    }
    return FindRegisteredClass(ReadRegistryStore(storePath), progId, storePath);
}

}  // namespace zentrix::cli
