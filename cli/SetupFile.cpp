#include "SetupFile.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <tuple>

#include "CliError.h"
#include "Paths.h"
#include "setup/ConfigFile.h"

namespace zentrix::cli {

namespace {

namespace fs = std::filesystem;

std::string ErrnoText(int error) {
    return std::system_category().message(error);
}

using DeviceKey = std::tuple<std::int32_t, std::string, std::int32_t>;

}  // namespace

SetupFileLook LookAtSetupFile(const fs::path& directory, bool mustExist) {
    SetupFileLook look;
    std::error_code error;
    const fs::file_status status = fs::status(directory, error);
    if (!fs::exists(status)) {
        if (mustExist) {
            throw CliError("configuration directory " + directory.string() +
                           " does not exist (check --config-dir)");
        }
        return look;
    }
    if (!fs::is_directory(status)) {
        throw CliError("configuration directory " + directory.string() + " is not a directory");
    }
    if (::access(directory.c_str(), R_OK | X_OK) != 0) {
        throw CliError("cannot read configuration directory " + directory.string() + ": " +
                       ErrnoText(errno));
    }
    look.directoryExists = true;
    const fs::path file = directory / kHardwareSetupFileName;
    TCHiIobConfigData config;
    ConfigFileProblem problem;
    if (!ReadConfigFile(file.string(), kHardwareSetupRootName, config, &problem)) {
        if (problem.missing) {
            return look;
        }
        throw CliError(file.string() + " cannot be read whole (" + problem.reason +
                       "); fix it or move it away, and the setup starts without devices");
    }
    look.filePresent = true;
    for (const TCHiIobConfigDataIOBox& box : config.m_vecConfigDataIOBox) {
        look.deviceCount += box.m_vecConfigDataPortDevice.size();
    }
    return look;
}

std::optional<std::string> SavedSetupMismatch(const fs::path& directory,
                                              const std::vector<DeviceInfo>& devices) {
    const fs::path file = directory / kHardwareSetupFileName;
    TCHiIobConfigData config;
    ConfigFileProblem problem;
    if (!ReadConfigFile(file.string(), kHardwareSetupRootName, config, &problem)) {
        return file.string() + " cannot be read back (" + problem.reason + ")";
    }
    std::vector<DeviceKey> stored;
    for (const TCHiIobConfigDataIOBox& box : config.m_vecConfigDataIOBox) {
        for (const TCHiIobConfigDataPortDevice& device : box.m_vecConfigDataPortDevice) {
            stored.emplace_back(device.m_iDeviceId, device.m_strDeviceName, device.m_iDeviceTypeId);
        }
    }
    std::vector<DeviceKey> expected;
    expected.reserve(devices.size());
    for (const DeviceInfo& device : devices) {
        expected.emplace_back(device.id, device.name, device.typeId);
    }
    std::sort(stored.begin(), stored.end());
    std::sort(expected.begin(), expected.end());
    if (stored != expected) {
        return file.string() + " holds " + std::to_string(stored.size()) +
               " devices that differ from the " + std::to_string(expected.size()) +
               " of the mapping";
    }
    return std::nullopt;
}

std::string WhyNotWritable(const fs::path& path) {
    std::error_code error;
    if (fs::exists(path, error)) {
        if (fs::is_directory(path, error)) {
            return path.string() + " is a directory";
        }
        if (::access(path.c_str(), W_OK) != 0) {
            return path.string() + ": " + ErrnoText(errno);
        }
    }
    fs::path directory = path.parent_path();
    while (!directory.empty() && !fs::exists(directory, error)) {
        if (directory == directory.parent_path()) {
            break;
        }
        directory = directory.parent_path();
    }
    if (directory.empty()) {
        return "";
    }
    if (!fs::is_directory(directory, error)) {
        return directory.string() + " is not a directory";
    }
    if (::access(directory.c_str(), W_OK | X_OK) != 0) {
        return directory.string() + ": " + ErrnoText(errno);
    }
    return "";
}

}  // namespace zentrix::cli
