// The plug-in's per-user registry: Linux has no Windows registry, so keys and values live in a
// text file in the Windows registry editor's export format (platform/format/RegistryText.h), and
// a .reg file exported on Windows can be dropped in unchanged. The store adds to the file's keys
// and values what a reader must know to trust them: which values a damaged file leaves in doubt.
#ifndef ZENTRIX_PLATFORM_REGISTRY_H
#define ZENTRIX_PLATFORM_REGISTRY_H

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/format/RegistryTree.h"

namespace zentrix {

class RegistryStore {
public:
    // Larger files are treated as damaged rather than read into memory.
    static constexpr std::uintmax_t kMaxFileSize = 64u * 1024u * 1024u;
    // Deeper key paths are rejected, matching the nesting limit of the Windows registry.
    static constexpr std::size_t kMaxKeyDepth = RegistryTree::kMaxKeyDepth;

    // ZENTRIX_REGISTRY if set and non-empty, else $XDG_CONFIG_HOME/zentrix/registry.reg with
    // XDG_CONFIG_HOME defaulting to $HOME/.config; empty when no home directory can be found.
    static std::filesystem::path DefaultPath();

    // Never throws: a missing file is an empty valid store, an unreadable file or one with the
    // wrong header is an empty damaged store, and unparsable lines (a section line with the
    // values under it, a value line with its hex continuation lines) are skipped and mark it
    // damaged while everything else is kept.
    static RegistryStore Load(const std::filesystem::path& path) noexcept;
    // The store that a file holding these bytes gives Load; source names the file in the log.
    static RegistryStore FromBytes(std::string_view bytes,
                                   const std::filesystem::path& source) noexcept;

    // True when anything in the loaded file had to be skipped.
    bool IsDamaged() const noexcept { return m_damaged; }
    // True when what the file meant for this value is unknown: the file could not be read or had
    // the wrong header, a line for this value after its last good one could not be parsed, a
    // section line naming its key could not be parsed, or a deletion of its key or an ancestor
    // was refused.
    bool IsValueDamaged(RegistryRoot root, std::string_view keyPath,
                        std::string_view valueName) const;

    std::optional<std::uint32_t> GetDword(RegistryRoot root, std::string_view keyPath,
                                          std::string_view valueName) const;
    // An empty value name reads the key's default value.
    std::optional<std::string> GetString(RegistryRoot root, std::string_view keyPath,
                                         std::string_view valueName) const;
    bool KeyExists(RegistryRoot root, std::string_view keyPath) const;
    std::vector<std::string> GetSubKeyNames(RegistryRoot root, std::string_view keyPath) const;

    // Setters create the key and its missing parents; what the file format cannot hold (CR, LF
    // or NUL in a key or value name, a path deeper than kMaxKeyDepth, or a string value with CR,
    // LF or NUL, which is stored as UTF-16, that is not valid UTF-8) is ignored, so that every
    // value stored reads back byte for byte.
    void CreateKey(RegistryRoot root, std::string_view keyPath);
    void SetString(RegistryRoot root, std::string_view keyPath, std::string_view valueName,
                   std::string_view value);
    void SetDword(RegistryRoot root, std::string_view keyPath, std::string_view valueName,
                  std::uint32_t value);
    void DeleteValue(RegistryRoot root, std::string_view keyPath, std::string_view valueName);
    // An empty path clears the root's values and subkeys, as the root itself cannot be deleted.
    void DeleteKeyTree(RegistryRoot root, std::string_view keyPath);

    // Creates missing directories, then writes the file with WriteFileAtomically (a new file is
    // private to the user); on failure the old file is untouched and false is returned.
    bool Save(const std::filesystem::path& path) const noexcept;

private:
    class DamageRecorder;

    void MarkUnreadable();
    void ForgetDamageBelow(const std::string& keyId);

    RegistryTree m_tree;
    bool m_damaged = false;
    bool m_unreadable = false;
    // Keys and values are named by the root's index and their ASCII-lower-cased path, a value
    // by its key's name, a line feed and its own lower-cased name.
    std::set<std::string, std::less<>> m_damagedKeys;
    std::set<std::string, std::less<>> m_damagedTrees;
    std::set<std::string, std::less<>> m_damagedValues;
};

// The DWORD at root\keyPath\valueName in the store at DefaultPath(), or defaultValue when the
// file, key or value is missing, the value has another type, or IsValueDamaged says so.
std::uint32_t ReadRegistryNumber(RegistryRoot root, std::string_view keyPath,
                                 std::string_view valueName, std::uint32_t defaultValue) noexcept;

}  // namespace zentrix

#endif
