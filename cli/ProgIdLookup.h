// Just enough of the plug-in's registry store (a Windows .reg export) to find a class by ProgID.
#ifndef ZENTRIX_CLI_PROGIDLOOKUP_H
#define ZENTRIX_CLI_PROGIDLOOKUP_H

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "ZentrixInterface.h"

namespace zentrix::cli {

// The default values (@="...") of every key in one .reg file, looked up case-insensitively as
// the Windows registry does.
class RegistryFile {
public:
    static RegistryFile Parse(std::string_view bytes);
    static RegistryFile Read(const std::filesystem::path& file);

    std::optional<std::string> DefaultValue(std::string_view keyPath) const;

private:
    std::map<std::string, std::string> m_defaults;
};

struct RegisteredClass {
    GUID classId{};
    std::filesystem::path library;
};

// The store's location: $ZENTRIX_REGISTRY, else the per-user configuration directory.
std::filesystem::path RegistryStorePath();

// Follows HKEY_CLASSES_ROOT\<progId>\CLSID (or its CurVer) to the class's InprocServer32 path.
RegisteredClass ResolveProgId(std::string_view progId);

std::optional<GUID> ParseGuid(std::string_view text);

}  // namespace zentrix::cli

#endif
