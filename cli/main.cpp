// zentrix, the reference host of the Zentrix plug-in, drives the component from the command line
// after loading libzentrix.so through its exported entry points alone.
#include <CLI/CLI.hpp>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

#include "Catalog.h"
#include "Check.h"
#include "CliError.h"
#include "Commands.h"
#include "Paths.h"
#include "Plugin.h"
#include "Registry.h"

namespace {

using zentrix::cli::CliError;

constexpr const char* kProgId = "Zentrix.Zentrix";
constexpr int kUsageExitCode = 2;

struct GlobalOptions {
    std::string pluginPath;
    bool useProgId = false;
    std::string configDirectory;
    std::string simulationBench;
    bool simulate = false;
    bool json = false;
};

struct PluginChoice {
    std::filesystem::path library;
    GUID classId = CLSID_Zentrix;
};

PluginChoice ChoosePlugin(const GlobalOptions& options) {
    if (!options.pluginPath.empty()) {
        return {options.pluginPath, CLSID_Zentrix};
    }
    if (options.useProgId) {
        const auto registered = zentrix::cli::ResolveProgId(kProgId);
        return {registered.library, registered.classId};
    }
    std::string searched;
    for (const auto& candidate : zentrix::cli::PluginCandidates()) {
        std::error_code error;
        if (std::filesystem::is_regular_file(candidate, error)) {
            return {candidate, CLSID_Zentrix};
        }
        searched += (searched.empty() ? "" : ", ") + candidate.string();
    }
    throw CliError("no libzentrix.so next to this program (looked for " + searched +
                   "); use --plugin PATH or --progid");
}

std::filesystem::path ConfigDirectory(const GlobalOptions& options) {
    const std::filesystem::path directory = options.configDirectory.empty()
                                                ? zentrix::cli::DefaultConfigDirectory()
                                                : std::filesystem::path(options.configDirectory);
    std::error_code error;
    const auto absolute = std::filesystem::absolute(directory, error);
    return error ? directory : absolute.lexically_normal();
}

void LoadHardwareSetup(zentrix::cli::Component& component, const std::filesystem::path& directory) {
    const HRESULT result = component.Load(directory);
    if (!zentrix::cli::Failed(result)) {
        return;
    }
    const auto file = directory / "HardwareSetup.xml";
    std::error_code error;
    if (!std::filesystem::exists(file, error)) {
        // A first run has no setup yet; the component then starts with no devices.
        return;
    }
    throw CliError("cannot load " + file.string() + ": Load failed with " +
                   zentrix::cli::HresultText(result));
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"zentrix - reference host for the Zentrix hardware-interface plug-in"};
    app.name("zentrix");
    app.set_version_flag("--version", std::string("zentrix ") + ZENTRIX_VERSION);
    app.footer(
        "Exit status: 0 done, 1 error (run: some script line failed), 2 usage error, 130 run "
        "interrupted.\nValues: true/false, integers, doubles, durations in seconds (\"1.230000 "
        "s\"; whole microseconds in --json and CSV), undefined \"-\".");
    app.require_subcommand(1);
    app.fallthrough();

    GlobalOptions options;
    auto* pluginOption =
        app.add_option("--plugin", options.pluginPath, "Load the plug-in library from PATH")
            ->type_name("PATH");
    app.add_flag("--progid", options.useProgId,
                 std::string("Find the plug-in through the registry store's ProgID ") + kProgId)
        ->excludes(pluginOption);
    app.add_option("--config-dir", options.configDirectory,
                   "Directory of HardwareSetup.xml (default $XDG_CONFIG_HOME/zentrix)")
        ->type_name("DIR");
    auto* simulateOption =
        app.add_option("--simulate", options.simulationBench,
                       "Use the simulated IO box: the demo bench, or the bench JSON file given")
            ->expected(0, 1)
            ->type_name("[BENCH.json]");
    app.add_flag("--json", options.json, "Machine-readable output");

    app.add_subcommand("boxes", "List the IO boxes and whether each is connected");
    app.add_subcommand("devices", "List the devices of the hardware setup");
    app.add_subcommand("types", "List the device types");
    std::string deviceType;
    auto* commandsCommand = app.add_subcommand("commands", "List the commands of a device type");
    commandsCommand->add_option("TYPE", deviceType, "Device type id or exact name")->required();
    auto* signalsCommand = app.add_subcommand("signals", "List the signals of a device type");
    signalsCommand->add_option("TYPE", deviceType, "Device type id or exact name")->required();

    std::string scriptPath;
    auto* runCommand = app.add_subcommand(
        "run",
        "Start the sampler and run script lines from SCRIPT or standard input:\n"
        "  send DEVICE COMMAND | read DEVICE SIGNAL | wait MS | watch DEVICE... [--for MS] | quit");
    runCommand->add_option("SCRIPT", scriptPath, "Script file ('-' or none: standard input)");

    zentrix::cli::MonitorOptions monitorOptions;
    std::string csvPath;
    double durationSeconds = 0.0;
    auto* monitorCommand =
        app.add_subcommand("monitor", "Start the sampler and show every signal live");
    monitorCommand->add_option("--rate", monitorOptions.rateHz, "Samples per second (default 10)")
        ->check(CLI::Range(0.01, 1000.0))
        ->type_name("HZ");
    monitorCommand->add_option("--csv", csvPath, "Log every reading to a CSV file")
        ->type_name("FILE");
    auto* durationOption =
        monitorCommand
            ->add_option("--duration", durationSeconds, "Stop after S seconds (default: Ctrl-C)")
            ->check(CLI::NonNegativeNumber)
            ->type_name("S");
    std::vector<std::string> sendEvery;
    auto* sendEveryOption =
        monitorCommand
            ->add_option("--send-every", sendEvery,
                         "Send COMMAND to DEVICE every S seconds while monitoring")
            ->expected(3)
            ->type_name("S DEVICE COMMAND");

    bool readonly = false;
    auto* mapCommand = app.add_subcommand(
        "map", "Show the mapping dialog and save the hardware setup when it is accepted");
    mapCommand->add_flag("--readonly", readonly, "Show the mapping without allowing changes");
    zentrix::cli::CheckOptions checkOptions;
    auto* checkCommand = app.add_subcommand(
        "check",
        "List the IO-Warrior device nodes and IO boxes the kernel driver offers, and why any of "
        "them cannot be used (exit status 0 only when all can)");
    checkCommand->add_option("--dir", checkOptions.directory, "Look for the nodes in DIR")
        ->capture_default_str()
        ->type_name("DIR");
    auto* registerCommand = app.add_subcommand("register", "Call DllRegisterServer");
    auto* unregisterCommand = app.add_subcommand("unregister", "Call DllUnregisterServer");

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& success) {
        return app.exit(success);
    } catch (const CLI::ParseError& error) {
        std::cerr << "zentrix: " << error.what() << " (see zentrix --help)" << std::endl;
        return kUsageExitCode;
    }

    try {
        // Checking the hardware needs no plug-in: it asks the kernel driver directly.
        if (checkCommand->parsed()) {
            checkOptions.json = options.json;
            return zentrix::cli::CheckHardware(zentrix::LinuxDeviceNodes::Instance(),
                                               zentrix::SystemClock::Instance(), checkOptions,
                                               std::cout);
        }
        if (simulateOption->count() > 0) {
            const std::string backend =
                options.simulationBench.empty() ? "sim" : "sim:" + options.simulationBench;
            setenv("ZENTRIX_IOWARRIOR", backend.c_str(), 1);
        }
        const PluginChoice choice = ChoosePlugin(options);
        const zentrix::cli::PluginLibrary library(choice.library);
        if (registerCommand->parsed() || unregisterCommand->parsed()) {
            return zentrix::cli::RegisterPlugin(library, unregisterCommand->parsed(), options.json);
        }

        zentrix::cli::Component component = library.CreateComponent(choice.classId);
        const std::filesystem::path configDirectory = ConfigDirectory(options);
        LoadHardwareSetup(component, configDirectory);
        zentrix::cli::Catalog catalog(component);
        zentrix::cli::HostContext host{component, catalog, configDirectory, options.json};

        const auto* chosen = app.get_subcommands().front();
        const std::string name = chosen->get_name();
        if (name == "boxes") {
            return zentrix::cli::ListIoBoxes(host);
        }
        if (name == "devices") {
            return zentrix::cli::ListDevices(host);
        }
        if (name == "types") {
            return zentrix::cli::ListDeviceTypes(host);
        }
        if (name == "commands") {
            return zentrix::cli::ListCommands(host, deviceType);
        }
        if (name == "signals") {
            return zentrix::cli::ListSignals(host, deviceType);
        }
        if (name == "run") {
            if (scriptPath.empty() || scriptPath == "-") {
                return zentrix::cli::RunScript(host, std::cin);
            }
            std::ifstream script(scriptPath);
            if (!script) {
                throw CliError("cannot read script " + scriptPath);
            }
            return zentrix::cli::RunScript(host, script);
        }
        if (name == "monitor") {
            if (!csvPath.empty()) {
                monitorOptions.csvFile = csvPath;
            }
            if (durationOption->count() > 0) {
                monitorOptions.durationSeconds = durationSeconds;
            }
            if (sendEveryOption->count() > 0) {
                zentrix::cli::RepeatedCommand repeated;
                try {
                    repeated.everySeconds = std::stod(sendEvery[0]);
                } catch (const std::exception&) {
                    throw CliError("--send-every takes seconds first, not \"" + sendEvery[0] +
                                   "\"");
                }
                if (!(repeated.everySeconds > 0.0)) {
                    throw CliError("--send-every needs a positive number of seconds");
                }
                repeated.device = sendEvery[1];
                repeated.command = sendEvery[2];
                monitorOptions.repeatedCommand = repeated;
            }
            return zentrix::cli::RunMonitor(host, monitorOptions);
        }
        if (name == "map") {
            return zentrix::cli::EditMapping(host, readonly);
        }
        throw CliError("unhandled subcommand " + name);
    } catch (const std::exception& error) {
        std::cerr << "zentrix: " << error.what() << std::endl;
        return EXIT_FAILURE;
    }
}
