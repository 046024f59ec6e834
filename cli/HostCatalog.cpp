#include "HostCatalog.h"

#include <charconv>

#include "CliError.h"

namespace zentrix::cli {

namespace {

template <typename Item>
const Item* FindByIdOrName(const std::vector<Item>& items, std::string_view token) {
    if (const auto id = ParseId(token)) {
        for (const Item& item : items) {
            if (item.id == *id) {
                return &item;
            }
        }
    }
    for (const Item& item : items) {
        if (item.name == token) {
            return &item;
        }
    }
    return nullptr;
}

template <typename Item>
std::string ValidChoices(const std::vector<Item>& items) {
    if (items.empty()) {
        return "(none)";
    }
    std::string text;
    for (const Item& item : items) {
        if (!text.empty()) {
            text += ", ";
        }
        text += std::to_string(item.id) + " \"" + item.name + "\"";
    }
    return text;
}

}  // namespace

std::optional<std::int32_t> ParseId(std::string_view token) {
    std::int32_t id = 0;
    const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), id);
    if (error != std::errc() || end != token.data() + token.size() || token.empty()) {
        return std::nullopt;
    }
    return id;
}

const std::vector<DeviceInfo>& HostCatalog::Devices() {
    if (!m_devices) {
        m_devices = m_component.Devices();
    }
    return *m_devices;
}

const std::vector<DeviceTypeInfo>& HostCatalog::DeviceTypes() {
    if (!m_deviceTypes) {
        m_deviceTypes = m_component.DeviceTypes();
    }
    return *m_deviceTypes;
}

const std::vector<CommandInfo>& HostCatalog::Commands(std::int32_t deviceTypeId) {
    auto found = m_commands.find(deviceTypeId);
    if (found == m_commands.end()) {
        found = m_commands.emplace(deviceTypeId, m_component.Commands(deviceTypeId)).first;
    }
    return found->second;
}

const std::vector<SignalInfo>& HostCatalog::Signals(std::int32_t deviceTypeId) {
    auto found = m_signals.find(deviceTypeId);
    if (found == m_signals.end()) {
        found = m_signals.emplace(deviceTypeId, m_component.Signals(deviceTypeId)).first;
    }
    return found->second;
}

std::string HostCatalog::DeviceTypeName(std::int32_t deviceTypeId) {
    for (const DeviceTypeInfo& type : DeviceTypes()) {
        if (type.id == deviceTypeId) {
            return type.name;
        }
    }
    return "unknown type " + std::to_string(deviceTypeId);
}

const DeviceInfo& HostCatalog::FindDevice(std::string_view token) {
    if (const DeviceInfo* device = FindByIdOrName(Devices(), token)) {
        return *device;
    }
    throw CliError("unknown device \"" + std::string(token) +
                   "\"; valid devices: " + ValidChoices(Devices()));
}

const DeviceTypeInfo& HostCatalog::FindDeviceType(std::string_view token) {
    if (const DeviceTypeInfo* type = FindByIdOrName(DeviceTypes(), token)) {
        return *type;
    }
    throw CliError("unknown device type \"" + std::string(token) +
                   "\"; valid device types: " + ValidChoices(DeviceTypes()));
}

const CommandInfo& HostCatalog::FindCommand(const DeviceInfo& device, std::string_view token) {
    const auto& commands = Commands(device.typeId);
    if (const CommandInfo* command = FindByIdOrName(commands, token)) {
        return *command;
    }
    throw CliError("unknown command \"" + std::string(token) + "\" for device \"" + device.name +
                   "\" (" + DeviceTypeName(device.typeId) +
                   "); valid commands: " + ValidChoices(commands));
}

const SignalInfo& HostCatalog::FindSignal(const DeviceInfo& device, std::string_view token) {
    const auto& signals = Signals(device.typeId);
    if (const SignalInfo* signal = FindByIdOrName(signals, token)) {
        return *signal;
    }
    throw CliError("unknown signal \"" + std::string(token) + "\" for device \"" + device.name +
                   "\" (" + DeviceTypeName(device.typeId) +
                   "); valid signals: " + ValidChoices(signals));
}

}  // namespace zentrix::cli
