// The text of a registry file in the Windows registry editor's export format, read into and
// written from a RegistryTree. The writer defines the stored format; the reader also takes what
// regedit writes, so that a .reg file exported on Windows can be dropped in unchanged.
#ifndef ZENTRIX_PLATFORM_FORMAT_REGISTRYTEXT_H
#define ZENTRIX_PLATFORM_FORMAT_REGISTRYTEXT_H

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/format/RegistryTree.h"

namespace zentrix {

struct DecodedRegistryText {
    std::string text;
    // A UTF-16 file with an odd number of bytes may have lost the end of any value.
    bool cutInsideCharacter = false;
};

// The UTF-8 text of a file's bytes: UTF-16LE after a byte-order mark is converted, a UTF-8
// byte-order mark is dropped and anything else is taken as UTF-8.
DecodedRegistryText DecodeRegistryBytes(std::string_view bytes);

// What a reader may want to know beyond the keys and values that were applied, so that it can
// tell which values a damaged file leaves in doubt. Every call is made while the text is read.
class RegistryTextObserver {
public:
    RegistryTextObserver() = default;
    RegistryTextObserver(const RegistryTextObserver&) = delete;
    RegistryTextObserver& operator=(const RegistryTextObserver&) = delete;
    virtual ~RegistryTextObserver() = default;

    // The first line is not a registry header, so nothing else was read.
    virtual void NotARegistryFile() {}
    // A section line names this key but is not closed, or asks to delete a whole root, which is
    // refused; deletion tells which of the two kinds of section it was.
    virtual void SectionRefused(RegistryRoot /*root*/, std::string_view /*keyPath*/,
                                bool /*deletion*/) {}
    // A section line deleted this key with everything below it.
    virtual void KeyTreeDeleted(RegistryRoot /*root*/, std::string_view /*keyPath*/) {}
    // A value line under the key at root\keyPath named this value; applied is false when the rest
    // of the line could not be read or stored.
    virtual void ValueLineRead(RegistryRoot /*root*/, std::string_view /*keyPath*/,
                               std::string_view /*valueName*/, bool /*applied*/) {}
    // A line, numbered from 1, that could not be applied and was skipped.
    virtual void LineSkipped(std::size_t /*lineNumber*/, std::string_view /*line*/) {}
};

// Applies the text to the tree line by line the way regedit imports a file: sections create or
// delete keys, value lines set or delete values, and what cannot be read (a section line with the
// values under it, a value line with its hex continuation lines) is skipped and reported.
void ReadRegistryText(std::string_view text, RegistryTree& tree, RegistryTextObserver& observer);

// The tree as the text of a file: the header, then every key depth first in name order with its
// values in the order they were first set, the default value first.
std::string WriteRegistryText(const RegistryTree& tree);

}  // namespace zentrix

#endif
