// The host's own look at the configuration directory and HardwareSetup.xml, read with the
// plug-in's file reader: Load answers S_OK for a missing, an empty and a damaged file alike, so
// only a look of its own lets the host tell a mistyped directory or a broken file from a setup
// with no devices.
#ifndef ZENTRIX_CLI_SETUPFILE_H
#define ZENTRIX_CLI_SETUPFILE_H

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Plugin.h"

namespace zentrix::cli {

struct SetupFileLook {
    bool directoryExists = false;
    bool filePresent = false;
    // Devices the file holds, when it is present and whole.
    std::size_t deviceCount = 0;
};

// Throws a CliError when the directory exists but is no directory or cannot be read, when it does
// not exist and mustExist is set, and when HardwareSetup.xml is there but cannot be read whole.
SetupFileLook LookAtSetupFile(const std::filesystem::path& directory, bool mustExist);

// Why the file in directory does not hold exactly these devices (id, name and type), or nothing
// when it does.
std::optional<std::string> SavedSetupMismatch(const std::filesystem::path& directory,
                                              const std::vector<DeviceInfo>& devices);

// Why a file could not be written at path, found by looking at it and its directory; empty when
// nothing visible stands in the way.
std::string WhyNotWritable(const std::filesystem::path& path);

}  // namespace zentrix::cli

#endif
