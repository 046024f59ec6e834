// Where the host looks for things on disk when the user does not say.
#ifndef ZENTRIX_CLI_PATHS_H
#define ZENTRIX_CLI_PATHS_H

#include <filesystem>
#include <vector>

namespace zentrix::cli {

// The plug-in keeps the hardware setup under this name in the directory the host gives it.
inline constexpr const char* kHardwareSetupFileName = "HardwareSetup.xml";

// $XDG_CONFIG_HOME, else ~/.config.
std::filesystem::path UserConfigHome();

std::filesystem::path DefaultConfigDirectory();

// Where a plug-in installed or built next to this executable would be, most likely first.
std::vector<std::filesystem::path> PluginCandidates();

}  // namespace zentrix::cli

#endif
