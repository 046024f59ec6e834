// The keys and values of a registry file in memory: a tree of keys under the five predefined
// roots, looked up case-insensitively as the Windows registry does, that holds only what the file
// format can store.
#ifndef ZENTRIX_PLATFORM_FORMAT_REGISTRYTREE_H
#define ZENTRIX_PLATFORM_FORMAT_REGISTRYTREE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zentrix {

enum class RegistryRoot { ClassesRoot, CurrentUser, LocalMachine, Users, CurrentConfig };
inline constexpr std::size_t kRegistryRootCount = 5;

enum class RegistryValueKind { String, Dword, Raw };

struct RegistryValue {
    std::string name;
    RegistryValueKind kind = RegistryValueKind::String;
    // Raw values keep everything after the '=' verbatim, so a save reproduces them exactly.
    std::string text;
    std::uint32_t dword = 0;
    // Position in insertion order, so that a save keeps the order values were first written in.
    std::uint64_t order = 0;
};

struct RegistryKey {
    RegistryKey() = default;
    explicit RegistryKey(std::string keyName) : name(std::move(keyName)) {}
    RegistryKey(const RegistryKey& other);
    RegistryKey& operator=(const RegistryKey& other);
    RegistryKey(RegistryKey&&) noexcept = default;
    RegistryKey& operator=(RegistryKey&&) noexcept = default;
    ~RegistryKey() = default;

    std::string name;
    // Both maps are keyed by the ASCII-lower-cased name, which gives case-insensitive lookup and
    // the sorted order a save writes keys in.
    std::map<std::string, RegistryValue, std::less<>> values;
    std::map<std::string, std::unique_ptr<RegistryKey>, std::less<>> subKeys;
    std::uint64_t nextOrder = 0;
};

// The ASCII-lower-cased name under which keys and values are looked up.
std::string FoldRegistryName(std::string_view name);

// Names are written on one line of the file, so line breaks cannot be represented, and NUL
// cannot appear in a name on Windows either.
bool IsStorableRegistryName(std::string_view name);

// A quoted string cannot span lines, so strings with CR, LF or NUL are written as UTF-16.
bool NeedsUtf16Storage(std::string_view text);

class RegistryTree {
public:
    // Deeper key paths are rejected, matching the nesting limit of the Windows registry.
    static constexpr std::size_t kMaxKeyDepth = 512;

    // The non-empty components of a backslash-separated path, so that leading, trailing or
    // doubled backslashes are tolerated; none when a component is not storable or the path is
    // deeper than kMaxKeyDepth.
    static std::optional<std::vector<std::string_view>> SplitKeyPath(std::string_view path);

    const RegistryKey& Root(RegistryRoot root) const;
    const RegistryKey* FindKey(RegistryRoot root, std::string_view keyPath) const;
    RegistryKey* FindKey(RegistryRoot root, std::string_view keyPath);
    // Creates the key and its missing parents; null when the path cannot be stored.
    RegistryKey* CreateKeyPath(RegistryRoot root, std::string_view keyPath);
    // An empty path clears the root's values and subkeys, as the root itself cannot be deleted.
    void DeleteKeyTree(RegistryRoot root, std::string_view keyPath);

    // Sets the value, keeping its place in the key's order when it exists; false, with nothing
    // changed, for a name that cannot be stored or a string that would not read back byte for
    // byte (one stored as UTF-16 that is not valid UTF-8).
    static bool PutValue(RegistryKey& key, std::string_view name, RegistryValueKind kind,
                         std::string text, std::uint32_t dword);

    std::optional<std::uint32_t> GetDword(RegistryRoot root, std::string_view keyPath,
                                          std::string_view valueName) const;
    // An empty value name reads the key's default value.
    std::optional<std::string> GetString(RegistryRoot root, std::string_view keyPath,
                                         std::string_view valueName) const;
    std::vector<std::string> GetSubKeyNames(RegistryRoot root, std::string_view keyPath) const;

private:
    std::array<RegistryKey, kRegistryRootCount> m_roots;
};

}  // namespace zentrix

#endif
