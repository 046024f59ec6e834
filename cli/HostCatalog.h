// The component's devices, device types, commands and signals, fetched once and looked up by the
// id or exact name a user typed.
#ifndef ZENTRIX_CLI_HOSTCATALOG_H
#define ZENTRIX_CLI_HOSTCATALOG_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Plugin.h"

namespace zentrix::cli {

// A whole-token decimal number, the form in which users name things by id.
std::optional<std::int32_t> ParseId(std::string_view token);

class HostCatalog {
public:
    explicit HostCatalog(Component& component) : m_component(component) {}

    const std::vector<DeviceInfo>& Devices();
    const std::vector<DeviceTypeInfo>& DeviceTypes();
    const std::vector<CommandInfo>& Commands(std::int32_t deviceTypeId);
    const std::vector<SignalInfo>& Signals(std::int32_t deviceTypeId);
    std::string DeviceTypeName(std::int32_t deviceTypeId);

    // Each lookup matches an id first, then an exact name, and throws a CliError listing the
    // valid choices when neither matches.
    const DeviceInfo& FindDevice(std::string_view token);
    const DeviceTypeInfo& FindDeviceType(std::string_view token);
    const CommandInfo& FindCommand(const DeviceInfo& device, std::string_view token);
    const SignalInfo& FindSignal(const DeviceInfo& device, std::string_view token);

private:
    Component& m_component;
    std::optional<std::vector<DeviceInfo>> m_devices;
    std::optional<std::vector<DeviceTypeInfo>> m_deviceTypes;
    std::map<std::int32_t, std::vector<CommandInfo>> m_commands;
    std::map<std::int32_t, std::vector<SignalInfo>> m_signals;
};

}  // namespace zentrix::cli

#endif
