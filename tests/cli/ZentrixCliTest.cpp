// Runs the built zentrix host as a child process against the simulated bench and checks what it
// prints, writes and returns.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/format/TextConversion.h"
#include "support/ChildProcess.h"
#include "support/HardwareSetupXml.h"
#include "support/RunAsUser.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using zentrix::testing::ChildResult;
using zentrix::testing::ChildRun;
using zentrix::testing::Lines;
using zentrix::testing::ReadFile;
using zentrix::testing::TempDir;

constexpr auto kChildTimeout = std::chrono::seconds(30);

const std::string kHardwareSetup = zentrix::testing::HardwareSetupXml(
    {{5, -1, 2, 3, "Pellets"}, {13, 2, 0, 7, "Top left"}, {15, -1, 3, 4, "Licks"}});

// The lickometer reports once per LickometerFrequency seconds; one second keeps the scripts short.
constexpr const char* kRegistryWithFastLickometer =
    "Windows Registry Editor Version 5.00\r\n\r\n"
    "[HKEY_CURRENT_USER\\Software\\Tamsel Information Technology\\Common\\Zentrix]\r\n"
    "\"LickometerFrequency\"=dword:00000001\r\n";

fs::path BuildDirectory() {
    return fs::read_symlink("/proc/self/exe").parent_path().parent_path();
}

fs::path CliPath() {
    return BuildDirectory() / "cli" / "zentrix";
}

fs::path PluginPath() {
    return BuildDirectory() / "host" / "libzentrix.so";
}

std::vector<json> JsonLines(const std::string& text) {
    std::vector<json> documents;
    for (const std::string& line : Lines(text)) {
        documents.push_back(json::parse(line));
    }
    return documents;
}

std::string Utf16LittleEndianWithBom(const std::string& utf8) {
    std::string bytes = "\xFF\xFE";
    for (const char16_t unit : zentrix::Utf8ToUtf16(utf8)) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

struct ChildOptions {
    std::string input;
    std::optional<std::chrono::milliseconds> interruptAfter;
    // The built host when empty.
    fs::path program;
    // NAME=value entries the child gets besides the fixture's own.
    std::vector<std::string> variables;

    static ChildOptions WithInput(std::string text) {
        return {std::move(text), std::nullopt, {}, {}};
    }
    static ChildOptions InterruptedAfter(std::chrono::milliseconds delay) {
        return {"", delay, {}, {}};
    }
    static ChildOptions WithVariables(std::vector<std::string> variables) {
        return {"", std::nullopt, {}, std::move(variables)};
    }
};

class ZentrixCliTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(CliPath()))
            << CliPath() << " is missing: build the zentrix_cli target before the tests";
        ASSERT_FALSE(m_temp.Path().empty());
        fs::create_directories(ConfigDirectory());
        std::ofstream(ConfigDirectory() / "HardwareSetup.xml") << kHardwareSetup;
        m_temp.Write("registry.reg", kRegistryWithFastLickometer);
    }

    fs::path ConfigDirectory() const { return m_temp.Path() / "config"; }
    fs::path RegistryFile() const { return m_temp.Path() / "registry.reg"; }

    std::vector<std::string> Simulated(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(),
                         {"--simulate", "--config-dir", ConfigDirectory().string()});
        return arguments;
    }

    // Runs zentrix with a private registry store and configuration home, so that no test reads or
    // writes the real ones.
    ChildResult Run(const std::vector<std::string>& arguments, const ChildOptions& options = {}) {
        ChildRun run;
        run.program = options.program.empty() ? CliPath() : options.program;
        run.arguments = arguments;
        // No child gets a display: a mapping dialog would wait for a user who never comes.
        run.withoutVariables = {"ZENTRIX_IOWARRIOR", "ZENTRIX_REGISTRY", "XDG_CONFIG_HOME", "HOME",
                                "DISPLAY",           "WAYLAND_DISPLAY",  "QT_QPA_PLATFORM"};
        run.variables = {"ZENTRIX_REGISTRY=" + RegistryFile().string(),
                         "XDG_CONFIG_HOME=" + (m_temp.Path() / "xdg").string(),
                         "HOME=" + (m_temp.Path() / "home").string()};
        // The first entry of a name is the one the child sees, so the test's own come first.
        run.variables.insert(run.variables.begin(), options.variables.begin(),
                             options.variables.end());
        run.input = m_temp.Write("stdin.txt", options.input);
        run.scratchDirectory = m_temp.Path();
        run.timeout = kChildTimeout;
        run.interruptAfter = options.interruptAfter;
        return RunChild(run);
    }

    json RunJson(const std::vector<std::string>& arguments) {
        std::vector<std::string> withJson = {"--json"};
        withJson.insert(withJson.end(), arguments.begin(), arguments.end());
        const ChildResult result = Run(Simulated(withJson));
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return json::parse(result.out);
    }

    TempDir m_temp;
};

TEST_F(ZentrixCliTest, BoxesShowsTheConnectedSimulatedBox) {
    const ChildResult text = Run(Simulated({"boxes"}));
    EXPECT_EQ(text.exitCode, 0) << text.err;
    const auto lines = Lines(text.out);
    ASSERT_EQ(lines.size(), 2u) << text.out;
    EXPECT_EQ(lines[0].substr(0, 2), "ID");
    EXPECT_EQ(lines[1].substr(0, 2), "0 ");
    EXPECT_NE(lines[1].find("yes"), std::string::npos);

    const json boxes = RunJson({"boxes"});
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0]["id"], 0);
    EXPECT_EQ(boxes[0]["connected"], true);
    EXPECT_FALSE(boxes[0]["name"].get<std::string>().empty());
}

TEST_F(ZentrixCliTest, DevicesComeFromTheHardwareSetupWithTheirTypeNames) {
    const json types = RunJson({"types"});
    const json devices = RunJson({"devices"});
    ASSERT_EQ(devices.size(), 3u);
    std::set<std::pair<int, std::string>> seen;
    for (const json& device : devices) {
        seen.insert({device["id"].get<int>(), device["name"].get<std::string>()});
        const auto type = std::find_if(types.begin(), types.end(), [&](const json& candidate) {
            return candidate["id"] == device["type_id"];
        });
        ASSERT_NE(type, types.end());
        EXPECT_EQ(device["type"], (*type)["name"]);
    }
    EXPECT_EQ(seen, (std::set<std::pair<int, std::string>>{
                        {3, "Pellets"}, {7, "Top left"}, {4, "Licks"}}));

    const ChildResult text = Run(Simulated({"devices"}));
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_EQ(Lines(text.out).size(), 4u);
    for (const char* expected : {"Top left", "Pellets", "Licks", "Top Unit (Standard)"}) {
        EXPECT_NE(text.out.find(expected), std::string::npos) << expected;
    }
}

TEST_F(ZentrixCliTest, TypesListEveryDeviceTypeInTextAndJson) {
    const json types = RunJson({"types"});
    ASSERT_GE(types.size(), 6u);
    const ChildResult text = Run(Simulated({"types"}));
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_EQ(Lines(text.out).size(), types.size() + 1);
    for (const json& type : types) {
        EXPECT_NE(text.out.find(type["name"].get<std::string>()), std::string::npos);
        EXPECT_TRUE(type["max_frequency"].is_number());
    }
}

TEST_F(ZentrixCliTest, CommandsAndSignalsTakeATypeByIdOrName) {
    const ChildResult byName = Run(Simulated({"commands", "Top Unit (Standard)"}));
    const ChildResult byId = Run(Simulated({"commands", "0"}));
    EXPECT_EQ(byName.exitCode, 0) << byName.err;
    EXPECT_EQ(byName.out, byId.out);
    EXPECT_NE(byName.out.find("White spot on"), std::string::npos);

    const json commands = RunJson({"commands", "Top Unit (Standard)"});
    const auto whiteSpotOff = std::find_if(commands.begin(), commands.end(), [](const json& c) {
        return c["name"] == "White spot off";
    });
    ASSERT_NE(whiteSpotOff, commands.end());
    EXPECT_EQ((*whiteSpotOff)["is_default"], true);

    const json signals = RunJson({"signals", "Lickometer (KX-503)"});
    const auto licks = std::find_if(signals.begin(), signals.end(),
                                    [](const json& s) { return s["name"] == "Number of licks"; });
    ASSERT_NE(licks, signals.end());
    EXPECT_EQ((*licks)["value_type"], "integer");
    EXPECT_EQ((*licks)["default"], 0);

    const ChildResult text = Run(Simulated({"signals", "0"}));
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_NE(text.out.find("Is white spot on"), std::string::npos);
    EXPECT_NE(text.out.find("bool"), std::string::npos);
    EXPECT_NE(text.out.find("false"), std::string::npos);
}

TEST_F(ZentrixCliTest, UnknownDeviceTypeIsOneErrorListingTheValidTypes) {
    for (const std::string& type : {std::string("Lickometer"), std::string("\xFF\xFE bad")}) {
        const ChildResult result = Run(Simulated({"signals", type}));
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_TRUE(result.out.empty()) << result.out;
        ASSERT_EQ(Lines(result.err).size(), 1u) << result.err;
        EXPECT_EQ(result.err.rfind("zentrix: ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find("\"Lickometer (KX-503)\""), std::string::npos) << result.err;
    }
}

TEST_F(ZentrixCliTest, ScriptSendsReadsWaitsAndStopsAtQuit) {
    const std::string script =
        "# white spot, then the lickometer\n"
        "send \"Top left\" \"White spot on\"\n"
        "wait 500\n"
        "read \"Top left\" \"Is white spot on\"\n"
        "\n"
        "wait 1500\n"
        "read Licks \"Number of licks\"\n"
        "quit\n"
        "read 7 0\n";
    const ChildResult result = Run(Simulated({"--json", "run"}), ChildOptions::WithInput(script));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(result.err.empty()) << result.err;
    const auto documents = JsonLines(result.out);
    ASSERT_EQ(documents.size(), 3u) << result.out;
    EXPECT_EQ(documents[0]["action"], "send");
    EXPECT_EQ(documents[0]["line"], 2);
    EXPECT_EQ(documents[1]["action"], "read");
    EXPECT_EQ(documents[1]["device"], "Top left");
    EXPECT_EQ(documents[1]["value"], true);
    EXPECT_EQ(documents[2]["signal"], "Number of licks");
    EXPECT_EQ(documents[2]["type"], "integer");
    EXPECT_GT(documents[2]["value"].get<long long>(), 0);
}

TEST_F(ZentrixCliTest, ScriptFileInTextReadsIdsAndEscapedNames) {
    const fs::path script = m_temp.Write("script.txt",
                                         "send 7 1\r\n"
                                         "wait 100\n"
                                         "read \"Top\\x left\" 0\n"
                                         "read \"Top left\" \"Is white spot on\"  # a comment\n");
    const ChildResult result = Run(Simulated({"run", script.string()}));
    EXPECT_EQ(result.exitCode, 1);
    const auto lines = Lines(result.out);
    ASSERT_EQ(lines.size(), 2u) << result.out;
    EXPECT_EQ(lines[0], "sent \"White spot on\" to \"Top left\"");
    EXPECT_EQ(lines[1], "Top left: Is white spot on = true") << result.err;
    EXPECT_NE(result.err.find("line 3: unknown device \"Top\\x left\""), std::string::npos)
        << result.err;
}

TEST_F(ZentrixCliTest, BadScriptLinesNameTheLineAndTheValidChoices) {
    const std::string script =
        "read Lick 0\n"
        "send \"Top left\" \"White spot\"\n"
        "read Licks \"Licks\"\n"
        "jump\n"
        "send \"Top left\n"
        "wait soon\n"
        "read Pellets \"In error state\"\n";
    const ChildResult result = Run(Simulated({"run"}), ChildOptions::WithInput(script));
    EXPECT_EQ(result.exitCode, 1);
    const auto errors = Lines(result.err);
    ASSERT_EQ(errors.size(), 6u) << result.err;
    for (std::size_t i = 0; i < errors.size(); ++i) {
        EXPECT_EQ(errors[i].rfind("zentrix: line " + std::to_string(i + 1) + ": ", 0), 0u)
            << errors[i];
    }
    EXPECT_NE(errors[0].find("3 \"Pellets\""), std::string::npos) << errors[0];
    EXPECT_NE(errors[0].find("7 \"Top left\""), std::string::npos) << errors[0];
    EXPECT_NE(errors[0].find("4 \"Licks\""), std::string::npos) << errors[0];
    EXPECT_NE(errors[1].find("\"White spot on\""), std::string::npos) << errors[1];
    EXPECT_NE(errors[2].find("\"Number of licks\""), std::string::npos) << errors[2];
    EXPECT_NE(errors[3].find("send, read, wait, watch, quit"), std::string::npos) << errors[3];
    EXPECT_EQ(result.out, "Pellets: In error state = false\n");
}

TEST_F(ZentrixCliTest, WatchPrintsEverySignalOfTheDevicesEachTenthOfASecond) {
    const ChildResult result = Run(Simulated({"--json", "run"}),
                                   ChildOptions::WithInput("watch Licks \"Top left\" --for 300\n"));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    const auto ticks = JsonLines(result.out);
    ASSERT_GE(ticks.size(), 3u);
    ASSERT_LE(ticks.size(), 4u);
    for (const json& tick : ticks) {
        EXPECT_EQ(tick["action"], "watch");
        EXPECT_EQ(tick["readings"].size(), 5u);
    }
    EXPECT_EQ(ticks.front()["readings"][0]["device"], "Licks");
    EXPECT_EQ(ticks.front()["readings"][4]["signal"], "Is sound on");
}

TEST_F(ZentrixCliTest, MonitorLogsEveryReadingToCsv) {
    const fs::path csv = m_temp.Path() / "log.csv";
    const ChildResult result =
        Run(Simulated({"monitor", "--duration", "1", "--csv", csv.string()}));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out.find('\x1b'), std::string::npos);
    EXPECT_NE(result.out.find("Licks: Number of licks = +"), std::string::npos) << result.out;

    auto rows = Lines(ReadFile(csv));
    ASSERT_GE(rows.size(), 2u);
    EXPECT_EQ(rows[0], "t_ms,device_id,device,signal_id,signal,type,value");
    // The first row after the header records the box as the session found it.
    EXPECT_EQ(rows[1], "0,0,Tamsel IO box,,,box,connected");
    rows.erase(rows.begin() + 1);
    const std::size_t signalsPerTick = 7;
    EXPECT_EQ((rows.size() - 1) % signalsPerTick, 0u);
    EXPECT_GE(rows.size() - 1, 8 * signalsPerTick);
    // Eleven ticks at most, and a last sample at the end when the last tick ran later than that.
    EXPECT_LE(rows.size() - 1, 12 * signalsPerTick);
    long long previous = -1;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        const long long timestamp = std::stoll(rows[i].substr(0, rows[i].find(',')));
        EXPECT_GE(timestamp, previous);
        previous = timestamp;
    }
    EXPECT_LE(previous, 1100);
    EXPECT_NE(std::find(rows.begin(), rows.end(), "0,7,Top left,0,Is white spot on,bool,false"),
              rows.end());
}

TEST_F(ZentrixCliTest, MonitorJsonCarriesIncrementsAndRunningTotals) {
    const ChildResult result =
        Run(Simulated({"--json", "monitor", "--rate", "5", "--duration", "1.4"}));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    std::vector<json> ticks;
    std::optional<json> totals;
    for (const json& record : JsonLines(result.out)) {
        if (record.contains("readings")) {
            ticks.push_back(record);
        } else if (record["event"] == "totals") {
            totals = record;
        } else {
            EXPECT_EQ(record["event"], "box") << record;
        }
    }
    // Eight ticks from 0 to 1.4 s, and a last sample at the end unless the eighth fell on it.
    ASSERT_GE(ticks.size(), 8u) << result.out;
    ASSERT_LE(ticks.size(), 9u) << result.out;
    long long sum = 0;
    for (const json& tick : ticks) {
        for (const json& reading : tick["readings"]) {
            if (reading["device"] == "Licks" && reading["signal"] == "Number of licks") {
                sum += reading["value"].get<long long>();
                EXPECT_EQ(reading["total"], sum);
            }
            if (reading["type"] == "bool") {
                EXPECT_FALSE(reading.contains("total"));
            }
        }
    }
    EXPECT_GT(sum, 0);
    ASSERT_TRUE(totals.has_value()) << result.out;
    const auto licks = std::find_if(
        totals->at("totals").begin(), totals->at("totals").end(), [](const json& total) {
            return total["device"] == "Licks" && total["signal"] == "Number of licks";
        });
    ASSERT_NE(licks, totals->at("totals").end()) << *totals;
    EXPECT_EQ((*licks)["total"], sum);
}

TEST_F(ZentrixCliTest, MonitorStopsCleanlyOnInterrupt) {
    const ChildResult result =
        Run(Simulated({"monitor"}), ChildOptions::InterruptedAfter(std::chrono::milliseconds(500)));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("Pellets: Number of drops"), std::string::npos);
}

TEST_F(ZentrixCliTest, RegisterLetsTheProgIdFindThePluginUntilUnregister) {
    fs::remove(RegistryFile());
    const ChildResult before = Run(Simulated({"--progid", "boxes"}));
    EXPECT_EQ(before.exitCode, 1);
    EXPECT_NE(before.err.find("not registered"), std::string::npos) << before.err;

    const ChildResult registered = Run({"--plugin", PluginPath().string(), "register"});
    EXPECT_EQ(registered.exitCode, 0) << registered.err;
    EXPECT_NE(registered.out.find("S_OK"), std::string::npos);
    EXPECT_NE(ReadFile(RegistryFile()).find("[HKEY_CLASSES_ROOT\\Zentrix.Zentrix\\CLSID]"),
              std::string::npos);

    const ChildResult loaded = Run(Simulated({"--progid", "--json", "boxes"}));
    EXPECT_EQ(loaded.exitCode, 0) << loaded.err;
    EXPECT_EQ(json::parse(loaded.out).size(), 1u);

    const ChildResult unregistered = Run({"--progid", "--json", "unregister"});
    EXPECT_EQ(unregistered.exitCode, 0) << unregistered.err;
    EXPECT_EQ(json::parse(unregistered.out)["succeeded"], true);

    const ChildResult after = Run(Simulated({"--progid", "boxes"}));
    EXPECT_EQ(after.exitCode, 1);
    EXPECT_NE(after.err.find("not registered"), std::string::npos) << after.err;
}

TEST_F(ZentrixCliTest, ProgIdResolvesThroughCurVerInAUtf16Export) {
    const std::string library = PluginPath().string();
    const std::string content =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_CLASSES_ROOT\\Zentrix.Zentrix]\r\n"
        "@=\"Zentrix \\\"Class\\\" \\\\ quoted\"\r\n\r\n"
        "[HKEY_CLASSES_ROOT\\Zentrix.Zentrix\\CurVer]\r\n"
        "@=\"Zentrix.Zentrix.1\"\r\n\r\n"
        "[hkey_classes_root\\Zentrix.Zentrix.1\\CLSID]\r\n"
        "@=\"{AABBC529-E3D6-43F3-A4B4-08310341BCD0}\"\r\n\r\n"
        "[HKEY_CLASSES_ROOT\\CLSID\\{aabbc529-e3d6-43f3-a4b4-08310341bcd0}\\InprocServer32]\r\n"
        "@=\"" +
        library +
        "\"\r\n"
        "\"ThreadingModel\"=\"Apartment\"\r\n";
    m_temp.Write("registry.reg", Utf16LittleEndianWithBom(content));
    const ChildResult result = Run(Simulated({"--progid", "devices"}));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("Top left"), std::string::npos);
}

TEST_F(ZentrixCliTest, MissingPluginIsOneClearError) {
    const ChildResult result =
        Run(Simulated({"--plugin", (m_temp.Path() / "libnothing.so").string(), "devices"}));
    EXPECT_EQ(result.exitCode, 1);
    ASSERT_EQ(Lines(result.err).size(), 1u) << result.err;
    EXPECT_EQ(result.err.rfind("zentrix: cannot load plug-in ", 0), 0u) << result.err;
}

TEST_F(ZentrixCliTest, AnInstalledHostFindsThePluginInTheLibraryDirectoryByItsSoname) {
    // What a run-time installation holds: the host in bin, the plug-in under its SONAME only.
    const fs::path bin = m_temp.Path() / "usr" / "bin";
    const fs::path libraryDirectory = (bin / ZENTRIX_INSTALLED_PLUGIN_DIRECTORY).lexically_normal();
    fs::create_directories(bin);
    fs::create_directories(libraryDirectory);
    fs::copy_file(CliPath(), bin / "zentrix");
    fs::copy_file(fs::canonical(PluginPath()), libraryDirectory / ZENTRIX_INSTALLED_PLUGIN_FILE);
    ChildOptions options;
    options.program = bin / "zentrix";
    const ChildResult result = Run(Simulated({"types"}), options);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("TTL Port Tester (KX-504)"), std::string::npos) << result.out;
}

TEST_F(ZentrixCliTest, MapWithoutADisplaySaysHowToGetOneAndSavesNothing) {
    const fs::path setup = ConfigDirectory() / "HardwareSetup.xml";
    const auto before = fs::last_write_time(setup);
    for (const bool readonly : {false, true}) {
        const ChildResult result =
            Run(Simulated(readonly ? std::vector<std::string>{"map", "--readonly"}
                                   : std::vector<std::string>{"map"}));
        EXPECT_EQ(result.exitCode, 1) << result.err;
        EXPECT_NE(result.err.find("no display is available"), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("ssh -X"), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find("offscreen"), std::string::npos) << result.err;
        EXPECT_EQ(result.out.find("saved to"), std::string::npos) << result.out;
    }
    EXPECT_EQ(fs::last_write_time(setup), before);
    EXPECT_EQ(ReadFile(setup), kHardwareSetup);
}

TEST_F(ZentrixCliTest, CheckNeedsNoPluginAndFailsOnlyForNodesThatCannotBeUsed) {
    const TempDir devices;
    // No plug-in is loaded for a check: a missing one does not matter.
    const ChildResult empty =
        Run({"--plugin", "/nonexistent/libzentrix.so", "check", "--dir", devices.Path().string()});
    EXPECT_EQ(empty.exitCode, 0) << empty.err;
    EXPECT_NE(empty.out.find("No IO box attached"), std::string::npos) << empty.out;

    // A file of the driver's name that is no driver node cannot be used.
    devices.Write("iowarrior0", "");
    const ChildResult bogus = Run({"--json", "check", "--dir", devices.Path().string()});
    EXPECT_EQ(bogus.exitCode, 1) << bogus.err;
    const auto document = json::parse(bogus.out);
    EXPECT_EQ(document["ok"], false);
    ASSERT_EQ(document["nodes"].size(), 1u);
    EXPECT_NE(document["nodes"][0]["problem"].get<std::string>().find("info query failed"),
              std::string::npos);
}

TEST_F(ZentrixCliTest, UsageErrorsExitWithTwo) {
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {}, {"signals"}, {"--plugin", "x", "--progid", "types"}, {"frobnicate"}}) {
        const ChildResult result = Run(arguments);
        EXPECT_EQ(result.exitCode, 2) << result.err;
        EXPECT_EQ(result.err.rfind("zentrix: ", 0), 0u) << result.err;
    }
}

// The bench of the fixture's setup (a dispenser on TTL 5, a top-unit interface on SDI 1, a
// lickometer on SDI 3) whose controller fails every transfer after the given number of reports.
std::string BenchUnpluggedAfter(int reports) {
    return R"({"controllers": [{"box_id": 0, "sdi": {"1": "top-unit-interface", "3": "lickometer"},
        "ttl": {"5": "pellet-dispenser"}, "licks": [{"sdi": 3, "per_second": 4, "lick_ms": 50}],
        "faults": {"unplug_after_reports": )" +
           std::to_string(reports) + "}}]}";
}

TEST_F(ZentrixCliTest, ABoxThatIsNotConnectedStopsMonitorAndRunBeforeTheyStart) {
    const std::vector<std::string> noHardware = {"ZENTRIX_IOWARRIOR=none"};
    const std::vector<std::string> config = {"--config-dir", ConfigDirectory().string()};
    const auto with = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), config.begin(), config.end());
        return arguments;
    };
    for (const auto& command :
         std::vector<std::vector<std::string>>{{"monitor", "--duration", "0.3"},
                                               {"--json", "monitor", "--duration", "0.3"},
                                               {"run"}}) {
        ChildOptions options = ChildOptions::WithVariables(noHardware);
        options.input = "send Pellets \"Drop pellet\"\n";
        const ChildResult result = Run(with(command), options);
        EXPECT_EQ(result.exitCode, 3) << result.err;
        EXPECT_NE(result.err.find("IO box -1 \"Tamsel IO box\" is not connected"),
                  std::string::npos)
            << result.err;
        EXPECT_NE(result.err.find("--allow-missing-boxes"), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "") << "nothing may be sampled or sent";
    }

    std::vector<std::string> allowed = with({"--json", "monitor", "--duration", "0.3"});
    allowed.push_back("--allow-missing-boxes");
    const ChildResult result = Run(allowed, ChildOptions::WithVariables(noHardware));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.err.find("warning: IO box -1"), std::string::npos) << result.err;
    const auto records = JsonLines(result.out);
    ASSERT_GE(records.size(), 3u) << result.out;
    EXPECT_EQ(records.front()["event"], "box");
    EXPECT_EQ(records.front()["state"], "missing");
    // Without hardware nothing happens: every total of the session stays 0.
    EXPECT_EQ(records.back()["event"], "totals");
    for (const json& total : records.back()["totals"]) {
        EXPECT_EQ(total["total"], 0) << total;
    }
}

TEST_F(ZentrixCliTest, ABoxLostDuringTheSessionIsReportedAtOnceAndInTheExitStatus) {
    const fs::path bench = m_temp.Write("unplug.json", BenchUnpluggedAfter(300));
    const fs::path csv = m_temp.Path() / "lost.csv";
    const std::vector<std::string> simulated = {"--simulate=" + bench.string(), "--config-dir",
                                                ConfigDirectory().string()};
    std::vector<std::string> monitor = simulated;
    monitor.insert(monitor.end(), {"--json", "monitor", "--duration", "2", "--csv", csv.string()});
    const ChildResult result = Run(monitor);
    EXPECT_EQ(result.exitCode, 3) << result.err;
    EXPECT_NE(result.err.find("IO box 0 \"Tamsel IO box\" lost at "), std::string::npos)
        << result.err;
    std::optional<long long> lostAt;
    long long lastReading = -1;
    for (const json& record : JsonLines(result.out)) {
        if (record.value("event", "") == "box" && record["state"] == "lost") {
            EXPECT_FALSE(lostAt.has_value()) << "reported twice";
            lostAt = record["t_ms"].get<long long>();
        } else if (record.contains("readings")) {
            lastReading = record["t_ms"].get<long long>();
        }
    }
    ASSERT_TRUE(lostAt.has_value()) << result.out;
    EXPECT_LT(*lostAt, lastReading) << "the loss is reported while the session goes on";
    const auto rows = Lines(ReadFile(csv));
    ASSERT_GE(rows.size(), 2u);
    EXPECT_EQ(rows[1], "0,0,Tamsel IO box,,,box,connected");
    EXPECT_NE(std::find(rows.begin(), rows.end(),
                        std::to_string(*lostAt) + ",0,Tamsel IO box,,,box,lost"),
              rows.end());

    std::vector<std::string> run = simulated;
    run.push_back("run");
    const ChildResult script = Run(run, ChildOptions::WithInput("watch Licks --for 1500\n"));
    EXPECT_EQ(script.exitCode, 3) << script.err;
    EXPECT_NE(script.err.find("lost at "), std::string::npos) << script.err;
}

TEST_F(ZentrixCliTest, SendEveryKeepsItsScheduleAndRecordsEveryCommand) {
    // Commands every 0.1 s from 0 to 2.05 s: 21 are due, whatever the sampling rate.
    for (const char* rate : {"10", "3"}) {
        const fs::path csv = m_temp.Path() / (std::string("commands-") + rate + ".csv");
        const ChildResult result =
            Run(Simulated({"--json", "monitor", "--rate", rate, "--duration", "2.05", "--csv",
                           csv.string(), "--send-every", "0.1", "Pellets", "Drop pellet"}));
        EXPECT_EQ(result.exitCode, 0) << result.err;
        std::vector<long long> sentAt;
        for (const json& record : JsonLines(result.out)) {
            if (record.value("event", "") == "command") {
                EXPECT_EQ(record["device"], "Pellets");
                EXPECT_EQ(record["command"], "Drop pellet");
                EXPECT_EQ(record["ok"], true);
                sentAt.push_back(record["t_ms"].get<long long>());
            }
        }
        ASSERT_EQ(sentAt.size(), 21u) << "at " << rate << " Hz:\n" << result.out;
        for (std::size_t k = 0; k < sentAt.size(); ++k) {
            EXPECT_GE(sentAt[k], static_cast<long long>(k) * 100) << "command " << k << " early";
        }
        std::size_t commandRows = 0;
        for (const std::string& row : Lines(ReadFile(csv))) {
            if (row.find(",Pellets,0,Drop pellet,command,0x00000000 (S_OK)") != std::string::npos) {
                ++commandRows;
            }
        }
        EXPECT_EQ(commandRows, 21u) << ReadFile(csv);
    }
}

TEST_F(ZentrixCliTest, NumbersOnTheCommandLineAreFinitePositiveAndBounded) {
    const std::vector<std::vector<std::string>> refused = {
        {"--duration", "abc"},
        {"--duration", "0"},
        {"--duration", "-1"},
        {"--duration", "inf"},
        {"--duration", "nan"},
        {"--duration", "31536001"},
        {"--duration", "1s"},
        {"--rate", "0"},
        {"--rate", "1001"},
        {"--rate", "fast"},
        {"--rate", "1e400"},
        {"--send-every", "0", "Pellets", "Drop pellet"},
        {"--send-every", "x", "Pellets", "Drop pellet"},
        {"--send-every", "0.0001", "Pellets", "Drop pellet"}};
    for (std::vector<std::string> options : refused) {
        const std::string option = options[0];
        options.insert(options.begin(), "monitor");
        const ChildResult result = Run(Simulated(options));
        EXPECT_EQ(result.exitCode, 2) << options[1] << ": " << result.err;
        const auto lines = Lines(result.err);
        ASSERT_EQ(lines.size(), 1u) << result.err;
        EXPECT_LT(lines[0].size(), 120u) << lines[0];
        EXPECT_NE(lines[0].find(option), std::string::npos) << lines[0];
        EXPECT_EQ(result.out, "");
    }
}

TEST_F(ZentrixCliTest, TheCsvLogNeverReplacesAnEarlierSessionUnlessAsked) {
    const fs::path csv = m_temp.Write("session.csv", "t_ms,earlier session\n");
    const ChildResult refused =
        Run(Simulated({"monitor", "--duration", "0.2", "--csv", csv.string()}));
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("--overwrite"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find((m_temp.Path() / "session-2.csv").string()), std::string::npos)
        << refused.err;
    EXPECT_EQ(refused.out, "") << "nothing sampled";
    EXPECT_EQ(ReadFile(csv), "t_ms,earlier session\n");

    const ChildResult replaced =
        Run(Simulated({"monitor", "--duration", "0.2", "--csv", csv.string(), "--overwrite"}));
    EXPECT_EQ(replaced.exitCode, 0) << replaced.err;
    EXPECT_EQ(Lines(ReadFile(csv)).at(0), "t_ms,device_id,device,signal_id,signal,type,value");
}

TEST_F(ZentrixCliTest, MonitorPrintsTheSessionTotalsOnExit) {
    const ChildResult result = Run(Simulated({"monitor", "--duration", "1.2"}));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    const auto lines = Lines(result.out);
    const auto heading = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.rfind("totals over ", 0) == 0;
    });
    ASSERT_NE(heading, lines.end()) << result.out;
    ASSERT_EQ(lines.end() - heading, 3) << result.out;
    EXPECT_EQ(heading[1], "  Pellets: Number of drops 0");
    EXPECT_EQ(heading[2].rfind("  Licks: Number of licks ", 0), 0u) << heading[2];
    // The totals are the sums of the increments the lines showed.
    long long licks = 0;
    for (auto line = lines.begin(); line != heading; ++line) {
        const auto at = line->find("Number of licks = +");
        if (at != std::string::npos) {
            licks += std::stoll(line->substr(at + 19));
        }
    }
    EXPECT_GT(licks, 0);
    EXPECT_EQ(heading[2].substr(0, heading[2].find(',')),
              "  Licks: Number of licks " + std::to_string(licks));
}

TEST_F(ZentrixCliTest, ReadAfterWatchShowsTheChangeAndTheRunningTotal) {
    const ChildResult result =
        Run(Simulated({"--json", "run"}),
            ChildOptions::WithInput(
                "watch Licks --for 1200\nwait 1100\nread Licks \"Number of licks\"\n"));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    long long watched = 0;
    std::optional<json> read;
    for (const json& record : JsonLines(result.out)) {
        if (record["action"] == "watch") {
            watched += record["readings"][0]["value"].get<long long>();
            EXPECT_EQ(record["readings"][0]["total"], watched);
        } else if (record["action"] == "read") {
            read = record;
        }
    }
    ASSERT_TRUE(read.has_value()) << result.out;
    EXPECT_GT((*read)["value"].get<long long>(), 0) << "a lickometer report fell into the wait";
    EXPECT_EQ((*read)["total"], watched + (*read)["value"].get<long long>());

    const ChildResult text =
        Run(Simulated({"run"}), ChildOptions::WithInput("read Licks \"Number of licks\"\n"));
    EXPECT_EQ(text.out.rfind("Licks: Number of licks = +", 0), 0u) << text.out;
    EXPECT_NE(text.out.find(" (total "), std::string::npos) << text.out;
}

TEST_F(ZentrixCliTest, AConfigurationDirectoryThatCannotServeIsAnErrorAndAnEmptyOneAWarning) {
    const auto devices = [&](const fs::path& directory) {
        return Run({"--simulate", "--config-dir", directory.string(), "devices"});
    };
    const ChildResult missing = devices(m_temp.Path() / "no-such-dir");
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("no-such-dir does not exist"), std::string::npos) << missing.err;

    const ChildResult file = devices(m_temp.Write("plain-file", "x"));
    EXPECT_EQ(file.exitCode, 1);
    EXPECT_NE(file.err.find("is not a directory"), std::string::npos) << file.err;

    const fs::path damaged = m_temp.Path() / "damaged";
    fs::create_directories(damaged);
    const std::string cut = std::string(kHardwareSetup).substr(0, 700);
    std::ofstream(damaged / "HardwareSetup.xml") << cut;
    const ChildResult broken = devices(damaged);
    EXPECT_EQ(broken.exitCode, 1);
    EXPECT_NE(broken.err.find((damaged / "HardwareSetup.xml").string() + " cannot be read whole"),
              std::string::npos)
        << broken.err;
    EXPECT_EQ(ReadFile(damaged / "HardwareSetup.xml"), cut) << "the damaged file is kept";

    const fs::path empty = m_temp.Path() / "empty";
    fs::create_directories(empty);
    const ChildResult none = devices(empty);
    EXPECT_EQ(none.exitCode, 0) << none.err;
    EXPECT_EQ(none.err,
              "zentrix: warning: no HardwareSetup.xml in " + empty.string() + ": no devices\n");

    // File permissions do not bind root, so the unreadable directory is tried as an ordinary user.
    const fs::path locked = m_temp.Path() / "locked";
    fs::create_directories(locked);
    fs::permissions(m_temp.Path(), fs::perms::owner_all | fs::perms::others_exec |
                                       fs::perms::others_read | fs::perms::group_exec |
                                       fs::perms::group_read);
    fs::permissions(locked, fs::perms::none);
    const fs::path errors = m_temp.Path() / "errors";
    fs::create_directories(errors);
    ASSERT_TRUE(zentrix::testing::GiveToOrdinaryUser(errors));
    const std::string command = "ZENTRIX_REGISTRY=/nonexistent/registry.reg HOME=/nonexistent " +
                                CliPath().string() + " --simulate --config-dir " + locked.string() +
                                " devices 2>" + (errors / "err.txt").string() + " >/dev/null";
    const auto exitedWithOne = zentrix::testing::RunAsUser([&] {
        const int status = std::system(command.c_str());
        return WIFEXITED(status) && WEXITSTATUS(status) == 1;
    });
    ASSERT_TRUE(exitedWithOne.has_value());
    EXPECT_TRUE(*exitedWithOne) << ReadFile(errors / "err.txt");
    EXPECT_NE(
        ReadFile(errors / "err.txt")
            .find("cannot read configuration directory " + locked.string() + ": Permission denied"),
        std::string::npos)
        << ReadFile(errors / "err.txt");
}

TEST_F(ZentrixCliTest, CheckSaysWhenItsDirectoryIsMissingAndFollowsThePluginsSetting) {
    const ChildResult missing = Run({"check", "--dir", (m_temp.Path() / "no-dev").string()});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("no-dev does not exist"), std::string::npos) << missing.err;

    const fs::path nodes = m_temp.Path() / "nodes";
    fs::create_directories(nodes);
    const ChildResult followed =
        Run({"check"}, ChildOptions::WithVariables({"ZENTRIX_IOWARRIOR=kernel:" + nodes.string()}));
    EXPECT_EQ(followed.exitCode, 0) << followed.err;
    EXPECT_NE(followed.out.find("no IO-Warrior device node in " + nodes.string()),
              std::string::npos)
        << followed.out;
    const ChildResult missingSetting =
        Run({"check"},
            ChildOptions::WithVariables({"ZENTRIX_IOWARRIOR=kernel:" + nodes.string() + "x"}));
    EXPECT_EQ(missingSetting.exitCode, 1) << missingSetting.out;
}

TEST_F(ZentrixCliTest, AnUnknownSubcommandIsNamedWithTheNearestOne) {
    for (const auto& [typed, nearest] : std::vector<std::pair<std::string, std::string>>{
             {"devics", "devices"}, {"monitr", "monitor"}, {"chek", "check"}}) {
        const ChildResult result = Run(Simulated({typed}));
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(result.err,
                  "zentrix: unknown subcommand '" + typed + "'; did you mean '" + nearest + "'?\n");
    }
    const ChildResult far = Run({"frobnicate"});
    EXPECT_EQ(far.exitCode, 2);
    EXPECT_NE(far.err.find("unknown subcommand 'frobnicate'; the subcommands are boxes, devices"),
              std::string::npos)
        << far.err;
}

TEST_F(ZentrixCliTest, MapRefusesAPlatformThatShowsNoWindow) {
    const fs::path setup = ConfigDirectory() / "HardwareSetup.xml";
    const ChildResult result =
        Run(Simulated({"map"}), ChildOptions::WithVariables({"QT_QPA_PLATFORM=offscreen"}));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("QT_QPA_PLATFORM=offscreen shows the mapping dialog nowhere"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(ReadFile(setup), kHardwareSetup);
}

TEST_F(ZentrixCliTest, MapWithoutTheDialogLibraryNamesItsPackageInsteadOfClaimingNoChange) {
    // A plug-in alone in its directory, as the zentrix package installs it without the dialog.
    const fs::path alone = m_temp.Path() / "alone";
    fs::create_directories(alone);
    fs::copy_file(fs::canonical(PluginPath()), alone / "libzentrix.so");
    std::vector<std::string> arguments = Simulated({"map"});
    arguments.insert(arguments.begin(), {"--plugin", (alone / "libzentrix.so").string()});
    // A platform that counts as a display; nothing starts it, since there is no dialog to show.
    const ChildResult result = Run(arguments, ChildOptions::WithVariables({"QT_QPA_PLATFORM=vnc"}));
    EXPECT_EQ(result.exitCode, 1) << result.out;
    EXPECT_NE(result.err.find("the mapping dialog is not installed: install the "
                              "zentrix-mapping-dialog package (no " +
                              (alone / "libzentrix_mapping_qt.so").string() + ")"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(result.out.find("unchanged"), std::string::npos) << result.out;
    EXPECT_EQ(ReadFile(ConfigDirectory() / "HardwareSetup.xml"), kHardwareSetup);
}

TEST_F(ZentrixCliTest, RegisteringIntoAStoreThatCannotBeWrittenNamesItAndWhy) {
    const fs::path blocker = m_temp.Write("blocker", "a file where a directory should be");
    const fs::path store = blocker / "registry.reg";
    const ChildResult result =
        Run({"register"}, ChildOptions::WithVariables({"ZENTRIX_REGISTRY=" + store.string()}));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("the registry store " + store.string() + " was not written"),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find(blocker.string() + " is not a directory"), std::string::npos)
        << result.err;
}

TEST_F(ZentrixCliTest, AScriptThatCannotBeReadSaysWhy) {
    const ChildResult missing = Run(Simulated({"run", (m_temp.Path() / "nope.txt").string()}));
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("nope.txt: No such file or directory"), std::string::npos)
        << missing.err;
    const ChildResult directory = Run(Simulated({"run", m_temp.Path().string()}));
    EXPECT_EQ(directory.exitCode, 1);
    EXPECT_NE(directory.err.find(": Is a directory"), std::string::npos) << directory.err;
}

TEST(ZentrixCliUnicode, MalformedTextBecomesReplacementCharacters) {
    using zentrix::Utf16ToUtf8;
    using zentrix::Utf8ToUtf16;
    EXPECT_EQ(Utf8ToUtf16("Top \xC3\xA4 \xF0\x9F\x90\x80"), u"Top \u00E4 \U0001F400");
    EXPECT_EQ(Utf8ToUtf16("\xFF\xC3"), u"\uFFFD\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("\xE0\x80\xAF"), u"\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(Utf16ToUtf8(u"\U0001F400 \u00E4"), "\xF0\x9F\x90\x80 \xC3\xA4");
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, u'\xD800') + u"x" + std::u16string(1, u'\xDC00')),
              "\xEF\xBF\xBDx\xEF\xBF\xBD");
    char16_t unterminated[4] = {u'a', u'b', u'c', u'd'};
    EXPECT_EQ(zentrix::FixedNameToUtf8(unterminated), "abcd");
}

}  // namespace
