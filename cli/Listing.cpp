#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string_view>

#include "CliError.h"
#include "Commands.h"
#include "Paths.h"
#include "ProgIdLookup.h"
#include "SetupFile.h"
#include "TextTable.h"
#include "Values.h"
#include "platform/Display.h"

namespace zentrix::cli {

namespace {

constexpr auto kJsonErrors = nlohmann::ordered_json::error_handler_t::replace;

void PrintTable(const TextTable& table) {
    for (const std::string& line : table.Lines()) {
        std::cout << line << '\n';
    }
    std::cout.flush();
}

void PrintJsonDocument(const nlohmann::ordered_json& document) {
    std::cout << document.dump(2, ' ', false, kJsonErrors) << '\n';
    std::cout.flush();
}

// The Qt platform named in QT_QPA_PLATFORM when it is one that draws into no visible window.
std::optional<std::string> HeadlessQtPlatform() {
    const char* setting = std::getenv("QT_QPA_PLATFORM");
    const std::string_view value = setting != nullptr ? setting : "";
    const std::string_view name = value.substr(0, value.find(':'));
    if (name == "offscreen" || name == "minimal" || name == "minimalegl") {
        return std::string(name);
    }
    return std::nullopt;
}

std::string FormatFrequency(double hertz) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", hertz);
    return buffer;
}

}  // namespace

void PrintJsonLine(const nlohmann::ordered_json& document) {
    std::cout << document.dump(-1, ' ', false, kJsonErrors) << '\n';
    std::cout.flush();
}

int ListIoBoxes(HostContext& host) {
    const auto boxes = host.component.IoBoxes();
    nlohmann::ordered_json document = nlohmann::ordered_json::array();
    TextTable table({"ID", "NAME", "CONNECTED"});
    for (const IoBoxInfo& box : boxes) {
        const HRESULT connected = host.component.IsIoBoxConnected(box.id);
        ThrowIfFailed(connected, "IsIODeviceConnected(" + std::to_string(box.id) + ")");
        document.push_back({{"id", box.id}, {"name", box.name}, {"connected", connected == S_OK}});
        table.AddRow({std::to_string(box.id), box.name, connected == S_OK ? "yes" : "no"});
    }
    if (host.json) {
        PrintJsonDocument(document);
    } else if (boxes.empty()) {
        std::cout << "no IO boxes found" << std::endl;
    } else {
        PrintTable(table);
    }
    return 0;
}

int ListDevices(HostContext& host) {
    const auto& devices = host.catalog.Devices();
    nlohmann::ordered_json document = nlohmann::ordered_json::array();
    TextTable table({"ID", "NAME", "TYPE ID", "TYPE"});
    for (const DeviceInfo& device : devices) {
        const std::string typeName = host.catalog.DeviceTypeName(device.typeId);
        document.push_back({{"id", device.id},
                            {"name", device.name},
                            {"type_id", device.typeId},
                            {"type", typeName}});
        table.AddRow(
            {std::to_string(device.id), device.name, std::to_string(device.typeId), typeName});
    }
    if (host.json) {
        PrintJsonDocument(document);
    } else if (devices.empty()) {
        std::cout << "no devices in the hardware setup of " << host.configDirectory.string()
                  << std::endl;
    } else {
        PrintTable(table);
    }
    return 0;
}

int ListDeviceTypes(HostContext& host) {
    nlohmann::ordered_json document = nlohmann::ordered_json::array();
    TextTable table({"ID", "NAME", "MAX FREQUENCY (Hz)"});
    for (const DeviceTypeInfo& type : host.catalog.DeviceTypes()) {
        document.push_back(
            {{"id", type.id}, {"name", type.name}, {"max_frequency", type.maxFrequency}});
        table.AddRow({std::to_string(type.id), type.name, FormatFrequency(type.maxFrequency)});
    }
    if (host.json) {
        PrintJsonDocument(document);
    } else {
        PrintTable(table);
    }
    return 0;
}

int ListCommands(HostContext& host, const std::string& deviceType) {
    const DeviceTypeInfo& type = host.catalog.FindDeviceType(deviceType);
    nlohmann::ordered_json document = nlohmann::ordered_json::array();
    TextTable table({"ID", "NAME", "DEFAULT"});
    for (const CommandInfo& command : host.catalog.Commands(type.id)) {
        document.push_back(
            {{"id", command.id}, {"name", command.name}, {"is_default", command.isDefault}});
        table.AddRow({std::to_string(command.id), command.name, command.isDefault ? "yes" : ""});
    }
    if (host.json) {
        PrintJsonDocument(document);
    } else if (document.empty()) {
        std::cout << "device type " << type.id << " \"" << type.name << "\" has no commands"
                  << std::endl;
    } else {
        PrintTable(table);
    }
    return 0;
}

int ListSignals(HostContext& host, const std::string& deviceType) {
    const DeviceTypeInfo& type = host.catalog.FindDeviceType(deviceType);
    nlohmann::ordered_json document = nlohmann::ordered_json::array();
    TextTable table({"ID", "NAME", "TYPE", "DEFAULT"});
    for (const SignalInfo& signal : host.catalog.Signals(type.id)) {
        document.push_back(
            {{"id", signal.id},
             {"name", signal.name},
             {"value_type", ValueTypeName(signal.valueType)},
             {"default", signal.defaultValue ? ValueToJson(*signal.defaultValue) : nullptr}});
        table.AddRow({std::to_string(signal.id), signal.name, ValueTypeName(signal.valueType),
                      signal.defaultValue ? FormatValue(*signal.defaultValue) : "-"});
    }
    if (host.json) {
        PrintJsonDocument(document);
    } else if (document.empty()) {
        std::cout << "device type " << type.id << " \"" << type.name << "\" has no signals"
                  << std::endl;
    } else {
        PrintTable(table);
    }
    return 0;
}

int EditMapping(HostContext& host, bool readonly) {
    // Such a platform shows no window, so the dialog would wait for input that nobody can give.
    if (const auto platform = HeadlessQtPlatform()) {
        throw CliError(
            "QT_QPA_PLATFORM=" + *platform +
            " shows the mapping dialog nowhere, so it would wait forever; unset it and " +
            zentrix::NoDisplayAdvice() + "; nothing saved");
    }
    const HRESULT dialog = host.component.ShowDialog(readonly);
    ThrowIfFailed(dialog, "ShowDialog");
    // The plug-in shows nothing without a display or without the dialog's library, and answers as
    // for a cancelled dialog, so "unchanged" would claim a choice nobody was offered.
    if (dialog != S_OK) {
        const std::filesystem::path dialogLibrary =
            host.pluginPath.parent_path() / ZENTRIX_MAPPING_DIALOG_FILE;
        std::error_code error;
        const bool installed = std::filesystem::exists(dialogLibrary, error);
        const std::string packageAdvice = "install the " ZENTRIX_MAPPING_DIALOG_PACKAGE
                                          " package (no " +
                                          dialogLibrary.string() + ")";
        if (!zentrix::DisplayAvailable()) {
            throw CliError(zentrix::NoDisplayAdvice() +
                           (installed ? "" : "; also " + packageAdvice) + "; nothing saved");
        }
        if (!installed) {
            throw CliError("the mapping dialog is not installed: " + packageAdvice +
                           "; nothing saved");
        }
    }
    const bool save = dialog == S_OK;
    const std::filesystem::path file = host.configDirectory / kHardwareSetupFileName;
    if (save) {
        // Only the default directory is made here: a directory the user named exists already.
        std::error_code ignored;
        std::filesystem::create_directories(host.configDirectory, ignored);
        const HRESULT saved = host.component.Save(host.configDirectory);
        if (Failed(saved)) {
            const std::string why = WhyNotWritable(file);
            throw CliError("the mapping was accepted but NOT saved: Save(" +
                           host.configDirectory.string() + ") failed with " + HresultText(saved) +
                           (why.empty() ? " (ZENTRIX_LOG=warning says why)" : ": " + why));
        }
        if (const auto mismatch =
                SavedSetupMismatch(host.configDirectory, host.component.Devices())) {
            throw CliError("the mapping was accepted but NOT saved as shown: " + *mismatch);
        }
    }
    if (host.json) {
        PrintJsonDocument({{"readonly", readonly},
                           {"dialog_result", HresultText(dialog)},
                           {"saved", save},
                           {"file", file.string()}});
    } else if (save) {
        std::cout << "mapping accepted; saved to " << file.string() << std::endl;
    } else {
        std::cout << "mapping unchanged (ShowDialog returned " << HresultText(dialog)
                  << "); nothing saved" << std::endl;
    }
    return 0;
}

int RegisterPlugin(const PluginLibrary& library, bool unregister, bool json) {
    const HRESULT result = unregister ? library.UnregisterServer() : library.RegisterServer();
    const std::string action = unregister ? "unregister" : "register";
    if (json) {
        PrintJsonDocument({{"action", action},
                           {"library", library.Path().string()},
                           {"registry", RegistryStorePath().string()},
                           {"hresult", HresultText(result)},
                           {"succeeded", !Failed(result)}});
    } else if (!Failed(result)) {
        std::cout << (unregister ? "unregistered " : "registered ") << library.Path().string()
                  << " (" << HresultText(result) << "; registry store "
                  << RegistryStorePath().string() << ")" << std::endl;
    }
    if (Failed(result)) {
        const std::string why = WhyNotWritable(RegistryStorePath());
        throw CliError(std::string(unregister ? "DllUnregisterServer" : "DllRegisterServer") +
                       " failed with " + HresultText(result) + ": the registry store " +
                       RegistryStorePath().string() + " was not written" +
                       (why.empty() ? " (ZENTRIX_LOG=warning says why)" : " (" + why + ")"));
    }
    return 0;
}

}  // namespace zentrix::cli
