#include "platform/format/RegistryTree.h"

#include "platform/format/TextConversion.h"

#include <algorithm>
#include <utility>

namespace zentrix {

namespace {

char FoldChar(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// A string that must be written as UTF-16 reads back the same only if it is valid UTF-8; any other
// string is written as its bytes.
bool IsStorableString(std::string_view text) {
    return !NeedsUtf16Storage(text) || Utf16ToUtf8(Utf8ToUtf16(text)) == text;
}

}  // namespace

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

std::string FoldRegistryName(std::string_view name) {
    std::string folded(name);
    std::transform(folded.begin(), folded.end(), folded.begin(), FoldChar);
    return folded;
}

bool IsStorableRegistryName(std::string_view name) {
    return name.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool NeedsUtf16Storage(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::optional<std::vector<std::string_view>> RegistryTree::SplitKeyPath(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('\\', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        const std::string_view part = path.substr(start, end - start);
        if (!part.empty()) {
            if (!IsStorableRegistryName(part) || parts.size() == kMaxKeyDepth) {
                return std::nullopt;
            }
            parts.push_back(part);
        }
        start = end + 1;
    }
    return parts;
}

const RegistryKey& RegistryTree::Root(RegistryRoot root) const {
    return m_roots.at(static_cast<std::size_t>(root));
}

const RegistryKey* RegistryTree::FindKey(RegistryRoot root, std::string_view keyPath) const {
    const auto index = static_cast<std::size_t>(root);
    const auto parts = SplitKeyPath(keyPath);
    if (index >= m_roots.size() || !parts) {
        return nullptr;
    }
    const RegistryKey* key = &m_roots[index];
    for (const std::string_view part : *parts) {
        const auto it = key->subKeys.find(FoldRegistryName(part));
        if (it == key->subKeys.end()) {
            return nullptr;
        }
        key = it->second.get();
    }
    return key;
}

RegistryKey* RegistryTree::FindKey(RegistryRoot root, std::string_view keyPath) {
    return const_cast<RegistryKey*>(std::as_const(*this).FindKey(root, keyPath));
}

RegistryKey* RegistryTree::CreateKeyPath(RegistryRoot root, std::string_view keyPath) {
    const auto index = static_cast<std::size_t>(root);
    const auto parts = SplitKeyPath(keyPath);
    if (index >= m_roots.size() || !parts) {
        return nullptr;
    }
    RegistryKey* key = &m_roots[index];
    for (const std::string_view part : *parts) {
        std::string folded = FoldRegistryName(part);
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

void RegistryTree::DeleteKeyTree(RegistryRoot root, std::string_view keyPath) {
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
        const auto it = parent->subKeys.find(FoldRegistryName((*parts)[i]));
        if (it == parent->subKeys.end()) {
            return;
        }
        parent = it->second.get();
    }
    parent->subKeys.erase(FoldRegistryName(parts->back()));
}

bool RegistryTree::PutValue(RegistryKey& key, std::string_view name, RegistryValueKind kind,
                            std::string text, std::uint32_t dword) {
    if (!IsStorableRegistryName(name) ||
        (kind == RegistryValueKind::String && !IsStorableString(text))) {
        return false;
    }
    std::string folded = FoldRegistryName(name);
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

std::optional<std::uint32_t> RegistryTree::GetDword(RegistryRoot root, std::string_view keyPath,
                                                    std::string_view valueName) const {
    const RegistryKey* key = FindKey(root, keyPath);
    if (key == nullptr) {
        return std::nullopt;
    }
    const auto it = key->values.find(FoldRegistryName(valueName));
    if (it == key->values.end() || it->second.kind != RegistryValueKind::Dword) {
        return std::nullopt;
    }
    return it->second.dword;
}

std::optional<std::string> RegistryTree::GetString(RegistryRoot root, std::string_view keyPath,
                                                   std::string_view valueName) const {
    const RegistryKey* key = FindKey(root, keyPath);
    if (key == nullptr) {
        return std::nullopt;
    }
    const auto it = key->values.find(FoldRegistryName(valueName));
    if (it == key->values.end() || it->second.kind != RegistryValueKind::String) {
        return std::nullopt;
    }
    return it->second.text;
}

std::vector<std::string> RegistryTree::GetSubKeyNames(RegistryRoot root,
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

}  // namespace zentrix
