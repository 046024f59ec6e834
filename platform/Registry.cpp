#include "platform/Registry.h"

#include "platform/AtomicFile.h"
#include "platform/Log.h"
#include "platform/SmallFile.h"
#include "platform/format/RegistryText.h"

#include <sys/stat.h>

#include <system_error>

namespace zentrix {

namespace {

// Names a key by its root's index and its lower-cased path, so that damage found while loading
// can be looked up however the key is spelled.
std::optional<std::string> KeyId(RegistryRoot root, std::string_view keyPath) {
    const auto parts = RegistryTree::SplitKeyPath(keyPath);
    if (!parts) {
        return std::nullopt;
    }
    std::string id = std::to_string(static_cast<int>(root));
    for (const std::string_view part : *parts) {
        id += '\\';
        id += FoldRegistryName(part);
    }
    return id;
}

}  // namespace

// Keeps, while a file is read, which keys and values its damaged lines leave in doubt, and logs
// each line that had to be skipped.
class RegistryStore::DamageRecorder final : public RegistryTextObserver {
public:
    DamageRecorder(RegistryStore& store, const std::filesystem::path& source)
        : m_store(store), m_source(source) {}

    void NotARegistryFile() override {
        LogLazily(LogLevel::Warning, "registry", [&] {
            return m_source.string() +
                   ": not a registry file (line 1); every value counts as damaged";
        });
        m_store.MarkUnreadable();
    }

    void SectionRefused(RegistryRoot root, std::string_view keyPath, bool deletion) override {
        if (std::optional<std::string> id = KeyId(root, keyPath)) {
            (deletion ? m_store.m_damagedTrees : m_store.m_damagedKeys).insert(std::move(*id));
        }
    }

    void KeyTreeDeleted(RegistryRoot root, std::string_view keyPath) override {
        if (const std::optional<std::string> id = KeyId(root, keyPath)) {
            m_store.ForgetDamageBelow(*id);
        }
    }

    void ValueLineRead(RegistryRoot root, std::string_view keyPath, std::string_view valueName,
                       bool applied) override {
        const std::optional<std::string> keyId = KeyId(root, keyPath);
        if (!keyId) {
            return;
        }
        std::string valueId = *keyId + '\n' + FoldRegistryName(valueName);
        if (applied) {
            m_store.m_damagedValues.erase(valueId);
        } else {
            m_store.m_damagedValues.insert(std::move(valueId));
        }
    }

    void LineSkipped(std::size_t lineNumber, std::string_view line) override {
        m_store.m_damaged = true;
        LogLazily(LogLevel::Warning, "registry", [&] {
            return m_source.string() + ": line " + std::to_string(lineNumber) +
                   ": damaged, ignored: " + std::string(line.substr(0, 80));
        });
    }

private:
    RegistryStore& m_store;
    const std::filesystem::path& m_source;
};

RegistryStore RegistryStore::Load(const std::filesystem::path& path) noexcept {
    try {
        std::string bytes;
        const SmallFileStatus status = ReadSmallFile(path, kMaxFileSize, bytes);
        if (status == SmallFileStatus::Missing) {
            return RegistryStore();
        }
        if (status == SmallFileStatus::Failed) {
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
        const DecodedRegistryText decoded = DecodeRegistryBytes(bytes);
        if (decoded.cutInsideCharacter) {
            LogLazily(LogLevel::Warning, "registry", [&] {
                return source.string() + ": cut inside a character; every value counts as damaged";
            });
            store.MarkUnreadable();
        }
        DamageRecorder recorder(store, source);
        ReadRegistryText(decoded.text, store.m_tree, recorder);
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
    if (m_damagedKeys.contains(*id) ||
        m_damagedValues.contains(*id + '\n' + FoldRegistryName(valueName))) {
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

std::optional<std::uint32_t> RegistryStore::GetDword(RegistryRoot root, std::string_view keyPath,
                                                     std::string_view valueName) const {
    return m_tree.GetDword(root, keyPath, valueName);
}

std::optional<std::string> RegistryStore::GetString(RegistryRoot root, std::string_view keyPath,
                                                    std::string_view valueName) const {
    return m_tree.GetString(root, keyPath, valueName);
}

bool RegistryStore::KeyExists(RegistryRoot root, std::string_view keyPath) const {
    return m_tree.FindKey(root, keyPath) != nullptr;
}

std::vector<std::string> RegistryStore::GetSubKeyNames(RegistryRoot root,
                                                       std::string_view keyPath) const {
    return m_tree.GetSubKeyNames(root, keyPath);
}

void RegistryStore::CreateKey(RegistryRoot root, std::string_view keyPath) {
    m_tree.CreateKeyPath(root, keyPath);
}

void RegistryStore::SetString(RegistryRoot root, std::string_view keyPath,
                              std::string_view valueName, std::string_view value) {
    if (!IsStorableRegistryName(valueName)) {
        return;
    }
    if (RegistryKey* key = m_tree.CreateKeyPath(root, keyPath)) {
        RegistryTree::PutValue(*key, valueName, RegistryValueKind::String, std::string(value), 0);
    }
}

void RegistryStore::SetDword(RegistryRoot root, std::string_view keyPath,
                             std::string_view valueName, std::uint32_t value) {
    if (!IsStorableRegistryName(valueName)) {
        return;
    }
    if (RegistryKey* key = m_tree.CreateKeyPath(root, keyPath)) {
        RegistryTree::PutValue(*key, valueName, RegistryValueKind::Dword, {}, value);
    }
}

void RegistryStore::DeleteValue(RegistryRoot root, std::string_view keyPath,
                                std::string_view valueName) {
    if (RegistryKey* key = m_tree.FindKey(root, keyPath)) {
        key->values.erase(FoldRegistryName(valueName));
    }
}

void RegistryStore::DeleteKeyTree(RegistryRoot root, std::string_view keyPath) {
    m_tree.DeleteKeyTree(root, keyPath);
}

bool RegistryStore::Save(const std::filesystem::path& path) const noexcept {
    try {
        if (path.filename().empty()) {
            return false;
        }
        const std::string data = WriteRegistryText(m_tree);
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
