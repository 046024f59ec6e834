#include "Paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace zentrix::cli {

namespace {

std::filesystem::path HomeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
        return entry->pw_dir;
    }
    return ".";
}

}  // namespace

std::filesystem::path UserConfigHome() {
    if (const char* configHome = std::getenv("XDG_CONFIG_HOME");
        configHome != nullptr && *configHome != '\0') {
        return configHome;
    }
    return HomeDirectory() / ".config";
}

std::filesystem::path DefaultConfigDirectory() {
    return UserConfigHome() / "zentrix";
}

std::vector<std::filesystem::path> PluginCandidates() {
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::filesystem::path directory =
        error ? std::filesystem::current_path(error) : executable.parent_path();
    // The installed plug-in goes by its SONAME: the unversioned name is only there for linking.
    return {(directory / ".." / "host" / "libzentrix.so").lexically_normal(),
            directory / "libzentrix.so",
            (directory / ZENTRIX_INSTALLED_PLUGIN_DIRECTORY / ZENTRIX_INSTALLED_PLUGIN_FILE)
                .lexically_normal(),
            (directory / ".." / "lib" / "libzentrix.so").lexically_normal()};
}

}  // namespace zentrix::cli
