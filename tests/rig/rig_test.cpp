// Tests that run inside the virtual rig (scripts/virtual-rig.sh): the reference host and the
// plug-in's kernel backend against the real iowarrior driver, with emulated IO boxes whose model
// reports what it made, what its reads showed and every protocol error. ZENTRIX_RIG_BOXES boxes
// are plugged in; zentrix-rig restarts, unplugs and reports them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/ChildProcess.h"
#include "support/HardwareSetupXml.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using zentrix::testing::ChildResult;
using zentrix::testing::ChildRun;
using zentrix::testing::Lines;
using zentrix::testing::StoredDevice;
using zentrix::testing::TempDir;
using Clock = std::chrono::steady_clock;

constexpr int kButtonPort = 3;
constexpr int kDispenserPort = 5;
constexpr int kLickometerSdi = 3;
// Box time at which the stimuli start, late enough for the host to have started sampling.
constexpr int kStimuliStartMs = 6000;
constexpr int kPulses = 30;
constexpr int kPulseEveryMs = 600;
constexpr int kPulseLowMs = 250;
constexpr int kLicks = 30;
// A short run's bench: its presses and licks end about 5 s after they start, well inside 14 s.
constexpr int kShortRunStimuli = 8;

// Where a child's output is kept while it runs, one folder per child since some run at once: the
// working directory is read-only here.
fs::path Scratch() {
    static const TempDir scratch;
    static std::atomic<int> children{0};
    const fs::path folder = scratch.Path() / std::to_string(children.fetch_add(1));
    fs::create_directories(folder);
    return folder;
}

int BoxCount() {
    const char* boxes = std::getenv("ZENTRIX_RIG_BOXES");
    return boxes == nullptr ? 0 : std::atoi(boxes);
}

ChildResult Shell(const std::string& command,
                  std::chrono::milliseconds timeout = std::chrono::seconds(120)) {
    ChildRun run;
    run.program = "/bin/bash";
    run.arguments = {"-c", command};
    run.timeout = timeout;
    run.scratchDirectory = Scratch();
    return zentrix::testing::RunChild(run);
}

ChildResult Zentrix(const std::vector<std::string>& arguments,
                    const std::vector<std::string>& variables = {},
                    std::chrono::milliseconds timeout = std::chrono::seconds(120)) {
    ChildRun run;
    run.program = ZENTRIX_CLI_PATH;
    run.arguments = arguments;
    run.variables = variables;
    run.variables.push_back("ZENTRIX_IOWARRIOR=kernel");
    run.timeout = timeout;
    run.scratchDirectory = Scratch();
    return zentrix::testing::RunChild(run);
}

json Report(int box) {
    const ChildResult result = Shell("zentrix-rig report " + std::to_string(box));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return json::parse(result.out);
}

std::string Serial(int box) {
    char text[16];
    std::snprintf(text, sizeof text, "%08d", 1001 + box);
    return text;
}

json Input(const json& report, int port, int line) {
    for (const json& input : report["inputs"]) {
        if (input["port"] == port && input["line"] == line) {
            return input;
        }
    }
    return json{};
}

// Each box: a top-unit interface on SDI 1, a lickometer on SDI 3, a dispenser on TTL 5 and a
// button on TTL 3 line 1, whose presses and licks (kPulses, kLicks unless given) run from
// kStimuliStartMs for about 18 s.
std::string StimuliBench(int boxes, int pulses = kPulses, int licks = kLicks) {
    json controllers = json::array();
    for (int box = 0; box < boxes; ++box) {
        controllers.push_back({{"box_id", box},
                               {"serial", Serial(box)},
                               {"sdi", {{"1", "top-unit-interface"}, {"3", "lickometer"}}},
                               {"ttl", {{"5", "pellet-dispenser"}}},
                               {"inputs",
                                {{{"port", kButtonPort},
                                  {"line", 1},
                                  {"every_ms", kPulseEveryMs},
                                  {"low_ms", kPulseLowMs},
                                  {"start_ms", kStimuliStartMs},
                                  {"count", pulses}}}},
                               {"licks",
                                {{{"sdi", kLickometerSdi},
                                  {"per_second", 1000.0 / kPulseEveryMs},
                                  {"lick_ms", 40},
                                  {"start_ms", kStimuliStartMs},
                                  {"count", licks}}}}});
    }
    return json{{"controllers", controllers}}.dump(2);
}

// Device ids: box * 10 + 0 top unit, 1 lickometer, 2 dispenser, 3 button box.
std::string SetupXml(int boxes) {
    std::vector<std::pair<std::int32_t, std::vector<StoredDevice>>> setup;
    for (int box = 0; box < boxes; ++box) {
        setup.push_back(
            {box,
             {{13, 1, 0, box * 10, "Top unit " + std::to_string(box)},
              {12 + kLickometerSdi, -1, 3, box * 10 + 1, "Lickometer " + std::to_string(box)},
              {kDispenserPort, -1, 2, box * 10 + 2, "Dispenser " + std::to_string(box)},
              {kButtonPort, -1, 4, box * 10 + 3, "Buttons " + std::to_string(box)}}});
    }
    return zentrix::testing::HardwareSetupXmlForBoxes(setup);
}

std::int64_t Total(const std::vector<std::string>& lines, int device, const std::string& signal) {
    for (const std::string& line : lines) {
        const json record = json::parse(line, nullptr, false);
        if (record.is_object() && record.value("event", "") == "totals") {
            for (const json& total : record["totals"]) {
                if (total["device_id"] == device && total["signal"] == signal) {
                    return total["total"].get<std::int64_t>();
                }
            }
        }
    }
    return -1;
}

// A box's state folder in the rig: report.json, reports.log, events.log.
fs::path StateFolder(int box) {
    return Lines(Shell("zentrix-rig state " + std::to_string(box)).out).at(0);
}

// The box's output-line changes, in order, from an event log: port, line and level.
std::vector<std::tuple<int, int, int>> OutputChanges(const fs::path& eventLog, int box) {
    std::ifstream log(eventLog);
    std::vector<std::tuple<int, int, int>> changes;
    for (std::string text; std::getline(log, text);) {
        const json event = json::parse(text, nullptr, false);
        if (event.is_object() && event["io"] == "out" && event["box"] == box) {
            changes.emplace_back(event["port"].get<int>(), event["line"].get<int>(),
                                 event["level"].get<int>());
        }
    }
    return changes;
}

// Rising edges of a line the box drove, from its own event log.
int OutputRises(int box, int port, int line) {
    const auto changes = OutputChanges(StateFolder(box) / "events.log", box);
    return static_cast<int>(
        std::count(changes.begin(), changes.end(), std::make_tuple(port, line, 1)));
}

class Rig : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GT(BoxCount(), 0) << "run inside scripts/virtual-rig.sh";
        m_temp.Write("bench.json", StimuliBench(BoxCount()));
        m_temp.Write("HardwareSetup.xml", SetupXml(BoxCount()));
    }

    void RestartBoxes(const std::string& bench = "bench.json") {
        const ChildResult restarted =
            Shell("zentrix-rig restart --bench " + (m_temp.Path() / bench).string());
        ASSERT_EQ(restarted.exitCode, 0) << restarted.err;
    }

    std::vector<std::string> Monitor(int seconds, const std::string& sampling, ChildResult& result,
                                     const std::vector<std::string>& extra = {},
                                     const std::string& timing = "auto") {
        std::vector<std::string> arguments = {"--config-dir", m_temp.Path().string(),
                                              "--json",       "monitor",
                                              "--duration",   std::to_string(seconds)};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        result = Zentrix(
            arguments,
            {"ZENTRIX_SAMPLING=" + sampling, "ZENTRIX_TIMING=" + timing, "ZENTRIX_LOG=info"},
            std::chrono::seconds(seconds + 60));
        return Lines(result.out);
    }

    // The box's counts against the host's totals for its devices.
    void ExpectCountsMatch(const std::vector<std::string>& lines, int box, const json& report,
                           int pulses = kPulses, int licks = kLicks) {
        SCOPED_TRACE("box " + std::to_string(box));
        const json button = Input(report, kButtonPort, 1);
        EXPECT_EQ(button["falls"], pulses) << "the bench made every press";
        EXPECT_EQ(button["sampled_falls"], pulses) << "the box's reads showed every press";
        EXPECT_EQ(Total(lines, box * 10 + 3, "Button 1 presses"), pulses);
        ASSERT_EQ(report["licks"].size(), 1u);
        EXPECT_EQ(report["licks"][0]["licks"], licks);
        EXPECT_EQ(Total(lines, box * 10 + 1, "Number of licks"), licks);
        EXPECT_EQ(Total(lines, box * 10 + 1, "Duration of licks"),
                  report["licks"][0]["lick_time_ms"].get<std::int64_t>() * 1000);
        const json dispenser = Input(report, kDispenserPort, 1);
        EXPECT_EQ(Total(lines, box * 10 + 2, "Number of drops"), dispenser["sampled_falls"]);
        EXPECT_EQ(report["protocol_errors"], json::array()) << report["protocol_errors"].dump(2);
    }

    TempDir m_temp;
};

TEST_F(Rig, EveryBoxIsFoundPairedByItsSerialAndReadyWithItsId) {
    const ChildResult check = Zentrix({"check"});
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
    const ChildResult boxes = Zentrix({"boxes"});
    EXPECT_EQ(boxes.exitCode, 0) << boxes.err;
    for (int box = 0; box < BoxCount(); ++box) {
        SCOPED_TRACE("box " + std::to_string(box));
        const std::regex node("iowarrior[0-9]+ +serial " + Serial(box) + " +product 0x1503 +" +
                              "interface [01] +ok");
        int nodes = 0;
        for (const std::string& line : Lines(check.out)) {
            nodes += std::regex_search(line, node) ? 1 : 0;
        }
        EXPECT_EQ(nodes, 2) << check.out;
        EXPECT_NE(check.out.find("serial " + Serial(box) + "  product 0x1503  box id " +
                                 std::to_string(box) + "  ready"),
                  std::string::npos)
            << check.out;
        EXPECT_TRUE(
            std::regex_search(boxes.out, std::regex("\n" + std::to_string(box) + " +.*yes")))
            << boxes.out;
        EXPECT_EQ(Report(box)["acknowledged_requests"].get<int>() >= 1, true)
            << "the driver's SET_IDLE at probe";
    }
}

// Both modes with the waits the boxes' read-backs choose, and each timing forced in one mode.
TEST_F(Rig, CountsThroughTheDriverEqualWhatTheBoxesMadeInBothSamplingModesAndBothTimings) {
    const std::vector<std::pair<std::string, std::string>> runs = {
        {"concurrent", "auto"}, {"serial", "auto"}, {"serial", "spec"}, {"concurrent", "lean"}};
    m_temp.Write("short-bench.json", StimuliBench(BoxCount(), kShortRunStimuli, kShortRunStimuli));
    for (const auto& [sampling, timing] : runs) {
        SCOPED_TRACE(sampling + ", " + timing + " timing");
        // The chosen timing runs long enough for the counts to mean something; each forced one
        // only needs to show that it samples through the driver, with a bench that ends in time.
        const bool chosen = timing == "auto";
        const int seconds = chosen ? 26 : 14;
        const int stimuli = chosen ? kPulses : kShortRunStimuli;
        RestartBoxes(chosen ? "bench.json" : "short-bench.json");
        // The monitor repeats one command: drops on the first box's dispenser.
        const std::vector<std::string> drops = {"--send-every", "2", "2", "Drop pellet"};
        ChildResult result;
        const auto lines = Monitor(seconds, sampling, result, drops, timing);
        ASSERT_EQ(result.exitCode, 0) << result.err;
        // Through the driver the read-back of every pin report orders the frames behind their
        // selects, so every box passes the check of lean waits.
        const std::string waits = chosen ? "lean waits: all " : timing + " waits, as";
        for (int box = 0; box < BoxCount(); ++box) {
            EXPECT_NE(result.err.find("IO box " + std::to_string(box) + " samples with " + waits),
                      std::string::npos)
                << result.err;
        }
        for (int box = 0; box < BoxCount(); ++box) {
            const json report = Report(box);
            ExpectCountsMatch(lines, box, report, stimuli, stimuli);
            int sent = 0;
            for (const std::string& line : lines) {
                const json record = json::parse(line, nullptr, false);
                sent += record.is_object() && record.value("event", "") == "command" &&
                                record["device_id"] == box * 10 + 2 && record["ok"] == true
                            ? 1
                            : 0;
            }
            EXPECT_GE(sent, box == 0 ? seconds / 2 - 1 : 0);
            EXPECT_EQ(OutputRises(box, kDispenserPort, 1), sent)
                << "every drop asked for reached the dispenser's line";
            ASSERT_EQ(report["pellets"].size(), 1u);
            EXPECT_EQ(report["pellets"][0]["dropped"], sent);
        }
    }
}

TEST_F(Rig, CommandsReachTheLinesInTheOrderTheInProcessSimulatorGivesThem) {
    RestartBoxes();
    m_temp.Write("script.txt", R"(send "Top unit 0" "White spot on"
wait 300
send "Buttons 0" "Light 1 on"
wait 300
send "Dispenser 0" "Drop pellet"
wait 300
send "Top unit 0" "Yellow light on"
wait 300
send "Top unit 0" "White spot off"
wait 300
send "Buttons 0" "Light 1 off"
wait 300
send "Top unit 0" "Yellow light off"
wait 500
)");
    const std::string script = (m_temp.Path() / "script.txt").string();
    const ChildResult driven = Zentrix({"--config-dir", m_temp.Path().string(), "run", script});
    ASSERT_EQ(driven.exitCode, 0) << driven.out << driven.err;

    // The same bench in the host's own process, with an event log of its own.
    json bench = json::parse(StimuliBench(BoxCount()));
    bench["event_log"] = (m_temp.Path() / "simulated-events.log").string();
    m_temp.Write("simulated-bench.json", bench.dump());
    const ChildResult simulated =
        Zentrix({"--simulate", (m_temp.Path() / "simulated-bench.json").string(), "--config-dir",
                 m_temp.Path().string(), "run", script});
    ASSERT_EQ(simulated.exitCode, 0) << simulated.out << simulated.err;

    const fs::path boxLog = StateFolder(0) / "events.log";
    const auto expected = OutputChanges(m_temp.Path() / "simulated-events.log", 0);
    EXPECT_GE(expected.size(), 7u);
    EXPECT_EQ(OutputChanges(boxLog, 0), expected);
    const json report = Report(0);
    EXPECT_EQ(report["protocol_errors"], json::array());
    // Every report the box took is in its arrival record.
    std::ifstream record(boxLog.parent_path() / "reports.log");
    std::size_t recorded = 0;
    for (std::string line; std::getline(record, line);) {
        ++recorded;
    }
    EXPECT_EQ(recorded, report["pin_reports"].get<std::size_t>() +
                            report["special_reports"].get<std::size_t>());
}

TEST_F(Rig, ABoxWhoseBenchUnplugsItLeavesTheBusAndTheHostSaysSo) {
    json bench = json::parse(StimuliBench(BoxCount()));
    bench["controllers"][0]["faults"] = {{"unplug_after_reports", 600}};
    m_temp.Write("unplugging-bench.json", bench.dump());
    const ChildResult restarted =
        Shell("zentrix-rig restart --bench " + (m_temp.Path() / "unplugging-bench.json").string());
    ASSERT_EQ(restarted.exitCode, 0) << restarted.err;
    ChildResult result;
    const auto lines = Monitor(12, "concurrent", result);
    EXPECT_EQ(result.exitCode, 3) << result.err;
    EXPECT_NE(result.err.find("lost"), std::string::npos) << result.err;
    const json report = Report(0);
    EXPECT_EQ(report["plugged"], false);
    // The fault counts the replies the box read out of its model as reports too.
    EXPECT_GE(report["pin_reports"].get<int>() + report["special_reports"].get<int>(), 250);
    EXPECT_EQ(Lines(Shell("zentrix-rig nodes").out).size(),
              static_cast<std::size_t>(2 * (BoxCount() - 1)));
}

TEST_F(Rig, ABoxPulledOutWhileSamplingIsReportedAtOnceAndTheOthersCountOn) {
    if (BoxCount() < 2) {
        GTEST_SKIP() << "needs two boxes";
    }
    RestartBoxes();
    const int lost = BoxCount() - 1;
    const auto launched = Clock::now();
    ChildResult result;
    auto monitor =
        std::async(std::launch::async, [&] { return Monitor(26, "concurrent", result); });
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const auto unplugMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - launched).count();
    ASSERT_EQ(Shell("zentrix-rig unplug " + std::to_string(lost)).exitCode, 0);
    const json atUnplug = Report(lost);
    std::this_thread::sleep_for(std::chrono::seconds(4));
    ASSERT_EQ(Shell("zentrix-rig plug " + std::to_string(lost)).exitCode, 0);
    const auto lines = monitor.get();
    EXPECT_EQ(result.exitCode, 3) << result.err;
    EXPECT_NE(result.err.find("lost"), std::string::npos) << result.err;
    bool reported = false;
    for (const std::string& line : lines) {
        const json record = json::parse(line, nullptr, false);
        if (record.is_object() && record.value("event", "") == "box" &&
            record.value("state", "") == "lost") {
            reported = true;
            EXPECT_LE(record["t_ms"].get<std::int64_t>(), unplugMs + 1000) << line;
        }
    }
    EXPECT_TRUE(reported) << result.out;
    for (int box = 0; box < lost; ++box) {
        ExpectCountsMatch(lines, box, Report(box));
    }
    // The component that lost the box read nothing of it after the loss, even once it was back.
    const json after = Report(lost);
    EXPECT_EQ(after["connections"].get<int>(), atUnplug["connections"].get<int>() + 1);
    EXPECT_EQ(Input(after, kButtonPort, 1)["sampled_falls"],
              Input(atUnplug, kButtonPort, 1)["sampled_falls"]);
    EXPECT_LE(Total(lines, lost * 10 + 3, "Button 1 presses"),
              Input(atUnplug, kButtonPort, 1)["sampled_falls"].get<std::int64_t>());
    // A new component finds it.
    const ChildResult boxes = Zentrix({"boxes"});
    EXPECT_TRUE(std::regex_search(boxes.out, std::regex("\n" + std::to_string(lost) + " +.*yes")))
        << boxes.out;
}

TEST_F(Rig, ASecondProcessFindsTheBoxesBusyAndTheFirstIsUndisturbed) {
    RestartBoxes();
    ChildResult result;
    auto monitor =
        std::async(std::launch::async, [&] { return Monitor(26, "concurrent", result); });
    std::this_thread::sleep_for(std::chrono::seconds(8));
    const ChildResult check = Zentrix({"check"});
    EXPECT_NE(check.exitCode, 0);
    EXPECT_NE(check.out.find("another program holds the box"), std::string::npos) << check.out;
    const auto lines = monitor.get();
    EXPECT_EQ(result.exitCode, 0) << result.err;
    for (int box = 0; box < BoxCount(); ++box) {
        ExpectCountsMatch(lines, box, Report(box));
    }
}

TEST_F(Rig, AHostKilledWhileSamplingLeavesNoStaleReplyForTheNext) {
    RestartBoxes();
    // Killed with SIGKILL in the middle of its transfers.
    const ChildResult killed =
        Shell("ZENTRIX_IOWARRIOR=kernel timeout -s KILL 12 " + std::string(ZENTRIX_CLI_PATH) +
              " --config-dir " + m_temp.Path().string() + " monitor --duration 60 > /dev/null");
    EXPECT_EQ(killed.exitCode, 137) << killed.err;
    std::vector<std::size_t> errorsBefore;
    for (int box = 0; box < BoxCount(); ++box) {
        errorsBefore.push_back(Report(box)["protocol_errors"].size());
    }
    const ChildResult check = Zentrix({"check"});
    EXPECT_EQ(check.exitCode, 0) << check.out;
    for (int box = 0; box < BoxCount(); ++box) {
        EXPECT_NE(check.out.find("box id " + std::to_string(box) + "  ready"), std::string::npos)
            << check.out;
    }
    ChildResult result;
    const auto lines = Monitor(5, "concurrent", result);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    for (int box = 0; box < BoxCount(); ++box) {
        const json report = Report(box);
        EXPECT_EQ(report["protocol_errors"].size(), errorsBefore[static_cast<std::size_t>(box)])
            << report["protocol_errors"].dump(2);
    }
}

TEST_F(Rig, NodesOnlyRootMayOpenAreExplainedAndTheShippedRuleOpensThem) {
    const std::string asNobody = "setpriv --reuid=nobody --regid=nogroup --clear-groups ";
    const ChildResult refused = Shell(asNobody + ZENTRIX_CLI_PATH + " check");
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_NE(refused.out.find("install the udev rule"), std::string::npos) << refused.out;

    // The mode and group the shipped rule gives the nodes, set by hand (the guest has no udev).
    std::ifstream rule(ZENTRIX_UDEV_RULE_PATH);
    const std::string text((std::istreambuf_iterator<char>(rule)),
                           std::istreambuf_iterator<char>());
    std::smatch mode;
    std::smatch group;
    ASSERT_TRUE(std::regex_search(text, mode, std::regex("MODE=\"([0-7]+)\"")));
    ASSERT_TRUE(std::regex_search(text, group, std::regex("GROUP=\"([a-z]+)\"")));
    const ChildResult applied = Shell("chmod " + mode[1].str() + " /dev/usb/iowarrior* && chgrp " +
                                      group[1].str() + " /dev/usb/iowarrior*");
    ASSERT_EQ(applied.exitCode, 0) << applied.err;
    const ChildResult allowed =
        Shell("setpriv --reuid=nobody --regid=nogroup --groups=" + group[1].str() + " " +
              ZENTRIX_CLI_PATH + " check");
    EXPECT_EQ(allowed.exitCode, 0) << allowed.out << allowed.err;
    Shell("chmod 600 /dev/usb/iowarrior* && chgrp root /dev/usb/iowarrior*");
}

}  // namespace
