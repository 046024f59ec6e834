#include "platform/Registry.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace zentrix {

namespace {

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

}  // namespace zentrix
