// Finding the plug-in's class by ProgID in the registry store that the plug-in's registration
// writes, read with the same format library the plug-in uses.
#ifndef ZENTRIX_CLI_PROGIDLOOKUP_H
#define ZENTRIX_CLI_PROGIDLOOKUP_H

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "ZentrixInterface.h"
#include "platform/format/RegistryTree.h"

namespace zentrix::cli {

struct RegisteredClass {
    GUID classId{};
    std::filesystem::path library;
};

// The store's location: $ZENTRIX_REGISTRY, else the per-user configuration directory.
std::filesystem::path RegistryStorePath();

// The store's keys and values; throws a CliError when the file cannot be read.
RegistryTree ReadRegistryStore(const std::filesystem::path& storePath);

// Follows HKEY_CLASSES_ROOT\<progId>\CLSID (or its CurVer) to the class's InprocServer32 path in
// the store read from storePath; throws a CliError that names storePath when the way breaks off.
RegisteredClass FindRegisteredClass(const RegistryTree& store, std::string_view progId,
                                    const std::filesystem::path& storePath);

// FindRegisteredClass in the store at RegistryStorePath().
RegisteredClass ResolveProgId(std::string_view progId);

std::optional<GUID> ParseGuid(std::string_view text);

}  // namespace zentrix::cli

#endif
