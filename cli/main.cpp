// zentrix, the reference host of the Zentrix plug-in, drives the component from the command line
// after loading libzentrix.so through its exported entry points alone.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "Bench.h"
#include "Check.h"
#include "CliError.h"
#include "Commands.h"
#include "HostCatalog.h"
#include "Paths.h"
#include "Plugin.h"
#include "ProgIdLookup.h"

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
    const auto file = directory / zentrix::cli::kHardwareSetupFileName;
    std::error_code error;
    if (!std::filesystem::exists(file, error)) {
        // A first run has no setup yet; the component then starts with no devices.
        return;
    }
    throw CliError("cannot load " + file.string() + ": Load failed with " +
                   zentrix::cli::HresultText(result));
}

// What the command line asked for: the global options and every subcommand's own.
struct Arguments {
    GlobalOptions global;
    std::string deviceType;
    std::string scriptPath;
    zentrix::cli::MonitorOptions monitorOptions;
    std::string csvPath;
    double durationSeconds = 0.0;
    bool durationGiven = false;
    std::vector<std::string> sendEvery;
    bool readonly = false;
    zentrix::cli::CheckOptions checkOptions;
    zentrix::cli::BenchOptions benchOptions;
};

// Loads the plug-in and creates the component only when a subcommand asks for them, because
// `check` needs neither and `register` needs no component.
class Session {
public:
    explicit Session(Arguments& arguments) : m_arguments(arguments) {}

    Arguments& Args() { return m_arguments; }

    const zentrix::cli::PluginLibrary& Library() {
        if (!m_library) {
            if (m_arguments.global.simulate) {
                const std::string& bench = m_arguments.global.simulationBench;
                const std::string backend = bench.empty() ? "sim" : "sim:" + bench;
                setenv("ZENTRIX_IOWARRIOR", backend.c_str(), 1);
            }
            const PluginChoice choice = ChoosePlugin(m_arguments.global);
            m_classId = choice.classId;
            m_library.emplace(choice.library);
        }
        return *m_library;
    }

    zentrix::cli::HostContext& Host() {
        if (!m_host) {
            const zentrix::cli::PluginLibrary& library = Library();
            m_component.emplace(library.CreateComponent(m_classId));
            const std::filesystem::path configDirectory = ConfigDirectory(m_arguments.global);
            LoadHardwareSetup(*m_component, configDirectory);
            m_catalog.emplace(*m_component);
            m_host.emplace(zentrix::cli::HostContext{*m_component, *m_catalog, configDirectory,
                                                     m_arguments.global.json});
        }
        return *m_host;
    }

private:
    Arguments& m_arguments;
    GUID m_classId = CLSID_Zentrix;
    std::optional<zentrix::cli::PluginLibrary> m_library;
    std::optional<zentrix::cli::Component> m_component;
    std::optional<zentrix::cli::HostCatalog> m_catalog;
    std::optional<zentrix::cli::HostContext> m_host;
};

int RunScriptCommand(Session& session) {
    zentrix::cli::HostContext& host = session.Host();
    const std::string& scriptPath = session.Args().scriptPath;
    if (scriptPath.empty() || scriptPath == "-") {
        return zentrix::cli::RunScript(host, std::cin);
    }
    std::ifstream script(scriptPath);
    if (!script) {
        throw CliError("cannot read script " + scriptPath);
    }
    return zentrix::cli::RunScript(host, script);
}

void AddMonitorOptions(CLI::App& command, Arguments& arguments) {
    command
        .add_option("--rate", arguments.monitorOptions.rateHz, "Samples per second (default 10)")
        ->check(CLI::Range(0.01, 1000.0))
        ->type_name("HZ");
    command.add_option("--csv", arguments.csvPath, "Log every reading to a CSV file")
        ->type_name("FILE");
    command
        .add_option("--duration", arguments.durationSeconds,
                    "Stop after S seconds (default: Ctrl-C)")
        ->check(CLI::NonNegativeNumber)
        ->type_name("S");
    command
        .add_option("--send-every", arguments.sendEvery,
                    "Send COMMAND to DEVICE every S seconds while monitoring")
        ->expected(3)
        ->type_name("S DEVICE COMMAND");
}

int RunMonitorCommand(Session& session) {
    zentrix::cli::HostContext& host = session.Host();
    Arguments& arguments = session.Args();
    zentrix::cli::MonitorOptions& monitorOptions = arguments.monitorOptions;
    if (!arguments.csvPath.empty()) {
        monitorOptions.csvFile = arguments.csvPath;
    }
    if (arguments.durationGiven) {
        monitorOptions.durationSeconds = arguments.durationSeconds;
    }
    const std::vector<std::string>& sendEvery = arguments.sendEvery;
    if (!sendEvery.empty()) {
        zentrix::cli::RepeatedCommand repeated;
        try {
            repeated.everySeconds = std::stod(sendEvery[0]);
        } catch (const std::exception&) {
            throw CliError("--send-every takes seconds first, not \"" + sendEvery[0] + "\"");
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

void AddDeviceTypeArgument(CLI::App& command, Arguments& arguments) {
    command.add_option("TYPE", arguments.deviceType, "Device type id or exact name")->required();
}

// One subcommand: its name and help as `--help` lists them, its own options (none when
// addOptions is null) and what it does once the command line is parsed.
struct Subcommand {
    const char* name;
    const char* help;
    void (*addOptions)(CLI::App& command, Arguments& arguments);
    int (*run)(Session& session);
};

// In the order `--help` lists them.
const Subcommand kSubcommands[] = {
    {"boxes", "List the IO boxes and whether each is connected", nullptr,
     [](Session& session) { return zentrix::cli::ListIoBoxes(session.Host()); }},
    {"devices", "List the devices of the hardware setup", nullptr,
     [](Session& session) { return zentrix::cli::ListDevices(session.Host()); }},
    {"types", "List the device types", nullptr,
     [](Session& session) { return zentrix::cli::ListDeviceTypes(session.Host()); }},
    {"commands", "List the commands of a device type", AddDeviceTypeArgument,
     [](Session& session) {
         return zentrix::cli::ListCommands(session.Host(), session.Args().deviceType);
     }},
    {"signals", "List the signals of a device type", AddDeviceTypeArgument,
     [](Session& session) {
         return zentrix::cli::ListSignals(session.Host(), session.Args().deviceType);
     }},
    {"run",
     "Start the sampler and run script lines from SCRIPT or standard input:\n"
     "  send DEVICE COMMAND | read DEVICE SIGNAL | wait MS | watch DEVICE... [--for MS] | quit",
     [](CLI::App& command, Arguments& arguments) {
         command.add_option("SCRIPT", arguments.scriptPath,
                            "Script file ('-' or none: standard input)");
     },
     RunScriptCommand},
    {"monitor", "Start the sampler and show every signal live", AddMonitorOptions,
     RunMonitorCommand},
    {"map", "Show the mapping dialog and save the hardware setup when it is accepted",
     [](CLI::App& command, Arguments& arguments) {
         command.add_flag("--readonly", arguments.readonly,
                          "Show the mapping without allowing changes");
     },
     [](Session& session) {
         return zentrix::cli::EditMapping(session.Host(), session.Args().readonly);
     }},
    {"check",
     "List the IO-Warrior device nodes and IO boxes the kernel driver offers, and why any of "
     "them cannot be used (exit status 0 only when all can)",
     [](CLI::App& command, Arguments& arguments) {
         command.add_option("--dir", arguments.checkOptions.directory, "Look for the nodes in DIR")
             ->capture_default_str()
             ->type_name("DIR");
     },
     // Checking the hardware needs no plug-in: it asks the kernel driver directly.
     [](Session& session) {
         Arguments& arguments = session.Args();
         arguments.checkOptions.json = arguments.global.json;
         return zentrix::cli::CheckHardware(zentrix::LinuxDeviceNodes::Instance(),
                                            zentrix::SystemClock::Instance(),
                                            arguments.checkOptions, std::cout);
     }},
    {"bench", zentrix::cli::kBenchHelp,
     [](CLI::App& command, Arguments& arguments) {
         zentrix::cli::AddBenchOptions(command, arguments.benchOptions);
     },
     // The bench loads the plug-in in processes of its own, one per scenario.
     [](Session& session) {
         const Arguments& arguments = session.Args();
         const PluginChoice choice = ChoosePlugin(arguments.global);
         return zentrix::cli::RunBench(arguments.benchOptions,
                                       {choice.library, choice.classId,
                                        ConfigDirectory(arguments.global), arguments.global.json});
     }},
    {"register", "Call DllRegisterServer", nullptr,
     [](Session& session) {
         return zentrix::cli::RegisterPlugin(session.Library(), false, session.Args().global.json);
     }},
    {"unregister", "Call DllUnregisterServer", nullptr,
     [](Session& session) {
         return zentrix::cli::RegisterPlugin(session.Library(), true, session.Args().global.json);
     }},
};

int Run(int argc, char** argv) {
    CLI::App app{"zentrix - reference host for the Zentrix hardware-interface plug-in"};
    app.name("zentrix");
    app.set_version_flag("--version", std::string("zentrix ") + ZENTRIX_VERSION);
    app.footer(
        "Exit status: 0 done, 1 error (run: some script line failed), 2 usage error, 130 run "
        "interrupted.\nValues: true/false, integers, doubles, durations in seconds (\"1.230000 "
        "s\"; whole microseconds in --json and CSV), undefined \"-\".");
    app.require_subcommand(1);
    app.fallthrough();

    Arguments arguments;
    GlobalOptions& options = arguments.global;
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

    for (const Subcommand& subcommand : kSubcommands) {
        CLI::App* command = app.add_subcommand(subcommand.name, subcommand.help);
        if (subcommand.addOptions != nullptr) {
            subcommand.addOptions(*command, arguments);
        }
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& success) {
        return app.exit(success);
    } catch (const CLI::ParseError& error) {
        std::cerr << "zentrix: " << error.what() << " (see zentrix --help)" << std::endl;
        return kUsageExitCode;
    }
    options.simulate = simulateOption->count() > 0;
    if (const CLI::App* monitor = app.get_subcommand("monitor")) {
        arguments.durationGiven = monitor->get_option("--duration")->count() > 0;
    }

    try {
        const std::string name = app.get_subcommands().front()->get_name();
        const auto chosen =
            std::find_if(std::begin(kSubcommands), std::end(kSubcommands),
                         [&name](const Subcommand& entry) { return name == entry.name; });
        if (chosen == std::end(kSubcommands)) {
            throw CliError("unhandled subcommand " + name);
        }
        Session session(arguments);
        return chosen->run(session);
    } catch (const std::exception& error) {
        std::cerr << "zentrix: " << error.what() << std::endl;
        return EXIT_FAILURE;
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Setting up the command line can itself throw (out of memory, say).
    try {
        return Run(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "zentrix: " << error.what() << std::endl;
    } catch (...) {
        std::cerr << "zentrix: unexpected error" << std::endl;
    }
    return EXIT_FAILURE;
}
