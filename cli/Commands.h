// The subcommands of the zentrix host, each given a component that is already created and loaded.
#ifndef ZENTRIX_CLI_COMMANDS_H
#define ZENTRIX_CLI_COMMANDS_H

#include <filesystem>
#include <istream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "HostCatalog.h"
#include "Plugin.h"

namespace zentrix::cli {

struct HostContext {
    Component& component;
    HostCatalog& catalog;
    std::filesystem::path configDirectory;
    bool json = false;
    // The plug-in's library, beside which it looks for the mapping dialog's.
    std::filesystem::path pluginPath;
};

// A command that the monitor sends again and again, so that devices driven by commands (a pellet
// dispenser) show activity too.
struct RepeatedCommand {
    double everySeconds = 0.0;
    std::string device;
    std::string command;
};

struct MonitorOptions {
    double rateHz = 10.0;
    std::optional<std::filesystem::path> csvFile;
    // An existing CSV file is replaced only when asked: it may hold an earlier session.
    bool overwriteCsv = false;
    std::optional<double> durationSeconds;
    std::optional<RepeatedCommand> repeatedCommand;
    bool allowMissingBoxes = false;
};

// Writes one JSON document on one line and flushes, so that readers of a pipe see it at once.
void PrintJsonLine(const nlohmann::ordered_json& document);

int ListIoBoxes(HostContext& host);
int ListDevices(HostContext& host);
int ListDeviceTypes(HostContext& host);
int ListCommands(HostContext& host, const std::string& deviceType);
int ListSignals(HostContext& host, const std::string& deviceType);
int EditMapping(HostContext& host, bool readonly);

// Runs script lines from input; a bad line is reported with its number and the script goes on,
// so the exit status is 1 when any line failed, 130 when interrupted and 0 otherwise, and 3 (before
// any line when allowMissingBoxes is false) when a box of the setup is not connected or is lost.
int RunScript(HostContext& host, std::istream& input, bool allowMissingBoxes);

// Samples every signal until the duration or a stop; 0, or 3 when a box is missing or lost.
int RunMonitor(HostContext& host, const MonitorOptions& options);

int RegisterPlugin(const PluginLibrary& library, bool unregister, bool json);

}  // namespace zentrix::cli

#endif
