// zentrix, the reference host of the Zentrix plug-in, drives the component from the command line
// after loading libzentrix.so through its exported entry points alone.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
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
#include "ExitStatus.h"
#include "HostCatalog.h"
#include "OptionValues.h"
#include "Paths.h"
#include "Plugin.h"
#include "ProgIdLookup.h"
#include "Record.h"
#include "SetupFile.h"

namespace {

using zentrix::cli::CliError;

constexpr const char* kProgId = "Zentrix.Zentrix";
constexpr double kMaxRateHz = 1000.0;
// As often as the fastest sampling the monitor offers.
constexpr double kShortestCommandInterval = 1.0 / kMaxRateHz;

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

// How much a subcommand depends on the hardware setup of the configuration directory.
enum class SetupUse {
    // The setup is loaded, but the subcommand shows nothing of its devices.
    Catalog,
    // The subcommand works on the devices, so a setup without any deserves a word.
    Devices,
};

// A directory the user named must exist; the default one need not yet on a first run.
void LoadHardwareSetup(zentrix::cli::Component& component, const std::filesystem::path& directory,
                       bool directoryGiven, SetupUse use) {
    const zentrix::cli::SetupFileLook look =
        zentrix::cli::LookAtSetupFile(directory, directoryGiven);
    if (!look.filePresent && use == SetupUse::Devices) {
        std::cerr << "zentrix: warning: no " << zentrix::cli::kHardwareSetupFileName << " in "
                  << directory.string() << ": no devices" << std::endl;
    }
    zentrix::cli::ThrowIfFailed(component.Load(directory), "Load(" + directory.string() + ")");
    if (look.filePresent && use == SetupUse::Devices) {
        const std::size_t loaded = component.Devices().size();
        if (loaded < look.deviceCount) {
            std::cerr << "zentrix: warning: " << look.deviceCount - loaded << " of the "
                      << look.deviceCount << " devices in "
                      << (directory / zentrix::cli::kHardwareSetupFileName).string()
                      << " were not loaded (ZENTRIX_LOG=warning says why)" << std::endl;
        }
    }
}

// What the command line asked for: the global options and every subcommand's own.
struct Arguments {
    GlobalOptions global;
    std::string deviceType;
    std::string scriptPath;
    zentrix::cli::MonitorOptions monitorOptions;
    std::string csvPath;
    std::string rateText;
    std::string durationText;
    std::vector<std::string> sendEvery;
    zentrix::cli::RecordOptions recordOptions;
    std::string outText;
    std::string noteText;
    std::vector<std::vector<std::string>> recordSendEvery;
    bool outGiven = false;
    bool noteGiven = false;
    bool allowMissingBoxes = false;
    bool checkDirectoryGiven = false;
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

    zentrix::cli::HostContext& Host(SetupUse use = SetupUse::Catalog) {
        if (!m_host) {
            const zentrix::cli::PluginLibrary& library = Library();
            m_component.emplace(library.CreateComponent(m_classId));
            const std::filesystem::path configDirectory = ConfigDirectory(m_arguments.global);
            LoadHardwareSetup(*m_component, configDirectory,
                              !m_arguments.global.configDirectory.empty(), use);
            m_catalog.emplace(*m_component);
            m_host.emplace(zentrix::cli::HostContext{*m_component, *m_catalog, configDirectory,
                                                     m_arguments.global.json, library.Path()});
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

// Opens the script before anything starts, so that a script that cannot be read says why and
// samples nothing.
std::ifstream OpenScript(const std::string& path) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (descriptor < 0) {
        throw CliError("cannot read script " + path + ": " + std::strerror(errno));
    }
    struct stat info {};
    const bool directory = ::fstat(descriptor, &info) == 0 && S_ISDIR(info.st_mode);
    ::close(descriptor);
    if (directory) {
        throw CliError("cannot read script " + path + ": " + std::strerror(EISDIR));
    }
    std::ifstream script(path);
    if (!script) {
        throw CliError("cannot read script " + path + ": " + std::strerror(errno));
    }
    return script;
}

int RunScriptCommand(Session& session) {
    const Arguments& arguments = session.Args();
    const std::string& scriptPath = arguments.scriptPath;
    if (scriptPath.empty() || scriptPath == "-") {
        return zentrix::cli::RunScript(session.Host(SetupUse::Devices), std::cin,
                                       arguments.allowMissingBoxes);
    }
    std::ifstream script = OpenScript(scriptPath);
    return zentrix::cli::RunScript(session.Host(SetupUse::Devices), script,
                                   arguments.allowMissingBoxes);
}

// The three words of one --send-every: S DEVICE COMMAND.
zentrix::cli::RepeatedCommand ParseRepeatedCommand(const std::vector<std::string>& words) {
    if (words.size() != 3) {
        throw zentrix::cli::UsageError("--send-every takes S DEVICE COMMAND, three words");
    }
    zentrix::cli::RepeatedCommand repeated;
    repeated.everySeconds = zentrix::cli::ParsePositiveNumber(
        words[0], "--send-every", zentrix::cli::kSecondsInAYear, "seconds first");
    if (repeated.everySeconds < kShortestCommandInterval) {
        throw zentrix::cli::UsageError("--send-every takes at least 0.001 seconds");
    }
    repeated.device = words[1];
    repeated.command = words[2];
    return repeated;
}

void AddAllowMissingBoxes(CLI::App& command, Arguments& arguments) {
    command.add_flag("--allow-missing-boxes", arguments.allowMissingBoxes,
                     "Sample even when a box of the setup is not connected (exit status 3 "
                     "otherwise)");
}

void AddMonitorOptions(CLI::App& command, Arguments& arguments) {
    command
        .add_option("--rate", arguments.rateText, "Samples per second (default 10, at most 1000)")
        ->type_name("HZ");
    command
        .add_option("--csv", arguments.csvPath, "Log every reading and command to a new CSV file")
        ->type_name("FILE");
    command.add_flag("--overwrite", arguments.monitorOptions.overwriteCsv,
                     "Replace the CSV file when it exists");
    command
        .add_option("--duration", arguments.durationText, "Stop after S seconds (default: Ctrl-C)")
        ->type_name("S");
    command
        .add_option("--send-every", arguments.sendEvery,
                    "Send COMMAND to DEVICE every S seconds while monitoring")
        ->expected(3)
        ->type_name("S DEVICE COMMAND");
    AddAllowMissingBoxes(command, arguments);
}

int RunMonitorCommand(Session& session) {
    Arguments& arguments = session.Args();
    zentrix::cli::MonitorOptions& monitorOptions = arguments.monitorOptions;
    if (!arguments.rateText.empty()) {
        monitorOptions.rateHz = zentrix::cli::ParsePositiveNumber(arguments.rateText, "--rate",
                                                                  kMaxRateHz, "samples per second");
    }
    if (!arguments.durationText.empty()) {
        monitorOptions.durationSeconds = zentrix::cli::ParsePositiveNumber(
            arguments.durationText, "--duration", zentrix::cli::kSecondsInAYear, "seconds");
    }
    if (!arguments.sendEvery.empty()) {
        monitorOptions.repeatedCommand = ParseRepeatedCommand(arguments.sendEvery);
    }
    if (!arguments.csvPath.empty()) {
        monitorOptions.csvFile = arguments.csvPath;
    }
    monitorOptions.allowMissingBoxes = arguments.allowMissingBoxes;
    return zentrix::cli::RunMonitor(session.Host(SetupUse::Devices), monitorOptions);
}

void AddRecordOptions(CLI::App& command, Arguments& arguments) {
    command
        .add_option("--subject", arguments.recordOptions.subject,
                    "Whom or what the session records; begins the folder's name")
        ->required()
        ->type_name("NAME");
    command
        .add_option("--out", arguments.outText,
                    "Create the session folder in DIR (default: the current directory)")
        ->type_name("DIR");
    command
        .add_option("--duration", arguments.durationText, "Stop after S seconds (default: Ctrl-C)")
        ->type_name("S");
    command.add_option("--note", arguments.noteText, "Keep TEXT in session.json")
        ->type_name("TEXT");
    command
        .add_option("--send-every", arguments.recordSendEvery,
                    "Send COMMAND to DEVICE every S seconds while recording (repeatable)")
        ->expected(3)
        ->type_name("S DEVICE COMMAND");
    AddAllowMissingBoxes(command, arguments);
}

int RunRecordCommand(Session& session) {
    Arguments& arguments = session.Args();
    zentrix::cli::RecordOptions& recordOptions = arguments.recordOptions;
    // A subject that names no folder is refused before the plug-in is even loaded.
    zentrix::cli::CheckSubject(recordOptions.subject);
    if (arguments.outGiven) {
        if (arguments.outText.empty()) {
            throw zentrix::cli::UsageError("--out takes a directory, not an empty name");
        }
        recordOptions.outDirectory = arguments.outText;
    }
    if (!arguments.durationText.empty()) {
        recordOptions.durationSeconds = zentrix::cli::ParsePositiveNumber(
            arguments.durationText, "--duration", zentrix::cli::kSecondsInAYear, "seconds");
    }
    if (arguments.noteGiven) {
        recordOptions.note = arguments.noteText;
    }
    for (const std::vector<std::string>& words : arguments.recordSendEvery) {
        recordOptions.repeatedCommands.push_back(ParseRepeatedCommand(words));
    }
    recordOptions.allowMissingBoxes = arguments.allowMissingBoxes;
    return zentrix::cli::RunRecord(session.Host(SetupUse::Devices), recordOptions);
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

std::optional<std::string> KernelDirectoryFromEnvironment() {
    const char* setting = std::getenv("ZENTRIX_IOWARRIOR");
    const std::string_view value = setting != nullptr ? setting : "";
    constexpr std::string_view kKernelPrefix = "kernel:";
    if (value.starts_with(kKernelPrefix) && value.size() > kKernelPrefix.size()) {
        return std::string(value.substr(kKernelPrefix.size()));
    }
    return std::nullopt;
}

int RunCheckCommand(Session& session) {
    Arguments& arguments = session.Args();
    zentrix::cli::CheckOptions& options = arguments.checkOptions;
    options.json = arguments.global.json;
    options.directoryNamed = arguments.checkDirectoryGiven;
    if (!options.directoryNamed) {
        if (const auto directory = KernelDirectoryFromEnvironment()) {
            options.directory = *directory;
            options.directoryNamed = true;
        }
    }
    return zentrix::cli::CheckHardware(zentrix::LinuxDeviceNodes::Instance(),
                                       zentrix::SystemClock::Instance(), options, std::cout);
}

// In the order `--help` lists them.
const Subcommand kSubcommands[] = {
    {"boxes", "List the IO boxes and whether each is connected", nullptr,
     [](Session& session) { return zentrix::cli::ListIoBoxes(session.Host()); }},
    {"devices", "List the devices of the hardware setup", nullptr,
     [](Session& session) { return zentrix::cli::ListDevices(session.Host(SetupUse::Devices)); }},
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
         AddAllowMissingBoxes(command, arguments);
     },
     RunScriptCommand},
    {"monitor", "Start the sampler and show every signal live", AddMonitorOptions,
     RunMonitorCommand},
    {"record",
     "Start the sampler and write every event it times, as it comes, to a new session folder",
     AddRecordOptions, RunRecordCommand},
    {"map", "Show the mapping dialog and save the hardware setup when it is accepted",
     [](CLI::App& command, Arguments& arguments) {
         command.add_flag("--readonly", arguments.readonly,
                          "Show the mapping without allowing changes");
     },
     [](Session& session) {
         return zentrix::cli::EditMapping(session.Host(SetupUse::Devices), session.Args().readonly);
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
     RunCheckCommand},
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

std::vector<std::string> SubcommandNames() {
    std::vector<std::string> names;
    for (const Subcommand& subcommand : kSubcommands) {
        names.emplace_back(subcommand.name);
    }
    return names;
}

// The first word of the command line that is neither an option nor an option's value, when it
// names no subcommand; a word after --simulate counts as its bench file only when it looks like a
// path.
std::optional<std::string> UnknownSubcommand(int argc, char** argv) {
    const std::vector<std::string> names = SubcommandNames();
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (word == "--plugin" || word == "--config-dir") {
            ++i;
            continue;
        }
        if (word.starts_with("-")) {
            continue;
        }
        const bool afterSimulate = i > 1 && std::string_view(argv[i - 1]) == "--simulate";
        if (afterSimulate &&
            (word.find('/') != std::string_view::npos || word.ends_with(".json"))) {
            continue;
        }
        if (std::find(names.begin(), names.end(), word) != names.end()) {
            return std::nullopt;
        }
        return std::string(word);
    }
    return std::nullopt;
}

std::string UnknownSubcommandMessage(const std::string& typed) {
    const std::vector<std::string> names = SubcommandNames();
    std::string message = "unknown subcommand '" + typed + "'";
    if (const auto nearest = zentrix::cli::NearestChoice(typed, names)) {
        return message + "; did you mean '" + *nearest + "'?";
    }
    message += "; the subcommands are";
    for (std::size_t i = 0; i < names.size(); ++i) {
        message += (i == 0 ? " " : ", ") + names[i];
    }
    return message;
}

int Run(int argc, char** argv) {
    CLI::App app{"zentrix - reference host for the Zentrix hardware-interface plug-in"};
    app.name("zentrix");
    app.set_version_flag("--version", std::string("zentrix ") + ZENTRIX_VERSION);
    app.footer(
        "Exit status: 0 done, 1 error (run: some script line failed), 2 usage error, 3 a box of "
        "the setup not connected at the start (monitor, record, run; see --allow-missing-boxes) or "
        "lost during the session, 130 run interrupted.\nValues: true/false, integers, doubles, "
        "durations in seconds (\"1.230000 s\"; whole microseconds in --json and CSV), undefined "
        "\"-\".");
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
        if (app.get_subcommands().empty()) {
            if (const auto typed = UnknownSubcommand(argc, argv)) {
                std::cerr << "zentrix: " << UnknownSubcommandMessage(*typed) << std::endl;
                return zentrix::cli::kExitUsage;
            }
        }
        std::cerr << "zentrix: " << error.what() << " (see zentrix --help)" << std::endl;
        return zentrix::cli::kExitUsage;
    }
    options.simulate = simulateOption->count() > 0;
    if (const CLI::App* check = app.get_subcommand("check")) {
        arguments.checkDirectoryGiven = check->get_option("--dir")->count() > 0;
    }
    if (const CLI::App* record = app.get_subcommand("record")) {
        arguments.outGiven = record->get_option("--out")->count() > 0;
        arguments.noteGiven = record->get_option("--note")->count() > 0;
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
    } catch (const zentrix::cli::UsageError& error) {
        std::cerr << "zentrix: " << error.what() << " (see zentrix --help)" << std::endl;
        return zentrix::cli::kExitUsage;
    } catch (const std::exception& error) {
        std::cerr << "zentrix: " << error.what() << std::endl;
        return zentrix::cli::kExitError;
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
    return zentrix::cli::kExitError;
}
