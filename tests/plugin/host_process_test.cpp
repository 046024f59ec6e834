// Hosts that end their process or change their directory under the plug-in, run as child
// processes (host_child.cpp) so that each starts with the plug-in freshly loaded: exit() and
// quick_exit() while sampling, a box that stops answering at exit, and a plug-in loaded by a
// relative path whose host then moves to a directory where a stranger's library waits.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using zentrix::testing::ChildResult;
using zentrix::testing::ChildRun;
using zentrix::testing::Lines;
using zentrix::testing::ReadFile;
using zentrix::testing::TempDir;

constexpr auto kChildTimeout = std::chrono::seconds(60);

// Two boxes, each with a top unit and a lickometer, inputs moving every few milliseconds, so that
// both sampling threads are busy in their passes whenever the host ends.
std::string BenchJson(const fs::path& eventLog, const std::string& secondBoxFaults) {
    std::string boxes;
    for (const int box : {0, 1}) {
        boxes += std::string(box == 0 ? "" : ",") + R"({ "box_id": )" + std::to_string(box) +
                 R"(, "sdi": { "1": "top-unit-interface", "3": "lickometer" },
          "ttl": { "5": "pellet-dispenser" },
          "inputs": [ { "port": 3, "line": 1, "every_ms": 6, "low_ms": 3 },
                      { "port": 4, "line": 2, "every_ms": 10, "low_ms": 4 } ],
          "licks": [ { "sdi": 3, "per_second": 20, "lick_ms": 20 } ])" +
                 (box == 1 ? secondBoxFaults : std::string()) + "}";
    }
    return R"({ "event_log": ")" + eventLog.string() + R"(", "controllers": [ )" + boxes + " ] }";
}

std::string DeviceXml(int port, int connectorPort, int type, int id, const std::string& name,
                      bool first) {
    return std::string(first ? R"(<item class_id="4" tracking_level="0" version="0">)" : "<item>") +
           "<m_iPortId>" + std::to_string(port) + "</m_iPortId><m_iConnectorPortId>" +
           std::to_string(connectorPort) + "</m_iConnectorPortId><m_iDeviceTypeId>" +
           std::to_string(type) + "</m_iDeviceTypeId><m_iDeviceId>" + std::to_string(id) +
           "</m_iDeviceId><m_strDeviceName>" + name + "</m_strDeviceName></item>\n";
}

// On each box N: a pellet dispenser (id 10 N + 3), a top unit (10 N + 7) and a lickometer
// (10 N + 5).
std::string SetupXml() {
    std::string boxes;
    for (const int box : {0, 1}) {
        boxes += std::string(box == 0 ? R"(<item class_id="2" tracking_level="0" version="0">)"
                                      : "<item>") +
                 "<m_iIOBoxId>" + std::to_string(box) +
                 "</m_iIOBoxId><m_eIOBoxType>0</m_eIOBoxType>"
                 R"(<m_vecConfigDataPortDevice class_id="3" tracking_level="0" version="0">)"
                 "<count>3</count><item_version>0</item_version>\n" +
                 DeviceXml(5, -1, 2, 10 * box + 3, "pellets", box == 0) +
                 DeviceXml(13, 2, 0, 10 * box + 7, "top", false) +
                 DeviceXml(15, -1, 3, 10 * box + 5, "licks", false) +
                 "</m_vecConfigDataPortDevice></item>\n";
    }
    return R"(<?xml version="1.0" encoding="UTF-8" standalone="yes" ?>
<!DOCTYPE boost_serialization>
<boost_serialization signature="serialization::archive" version="18">
<HardwareSetup class_id="0" tracking_level="0" version="0">
<m_vecConfigDataIOBox class_id="1" tracking_level="0" version="0">
<count>2</count><item_version>0</item_version>
)" + boxes +
           "</m_vecConfigDataIOBox>\n</HardwareSetup>\n</boost_serialization>\n";
}

// The level each output line was left at, by (box, port, line), from the bench's event log.
std::map<std::tuple<int, int, int>, int> FinalOutputs(const fs::path& eventLog) {
    std::map<std::tuple<int, int, int>, int> levels;
    for (const std::string& line : Lines(ReadFile(eventLog))) {
        const nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
        if (event.is_object() && event.value("io", "") == "out") {
            levels[{event["box"].get<int>(), event["port"].get<int>(), event["line"].get<int>()}] =
                event["level"].get<int>();
        }
    }
    return levels;
}

bool HasSanitizerReport(const std::string& err) {
    return err.find("Sanitizer") != std::string::npos ||
           err.find("runtime error") != std::string::npos;
}

class HostProcessTest : public ::testing::Test {
protected:
    void SetUp() override { m_temp.Write("HardwareSetup.xml", SetupXml()); }

    // One host in a directory of its own (its bench, event log and output) that samples for
    // waitMs after its outputs are on and then ends as `ending` says.
    ChildResult End(const std::string& name, const std::string& ending, const std::string& sampling,
                    int waitMs, const std::string& secondBoxFaults = "",
                    const std::string& log = "") const {
        const fs::path directory = m_temp.Path() / name;
        fs::create_directories(directory);
        const fs::path bench = directory / "bench.json";
        std::ofstream(bench) << BenchJson(directory / "events.jsonl", secondBoxFaults);
        ChildRun run;
        run.program = ZENTRIX_HOST_CHILD_PATH;
        run.arguments = {"end", ZENTRIX_PLUGIN_PATH, m_temp.Path().string(), ending,
                         std::to_string(waitMs)};
        run.withoutVariables = {"ZENTRIX_IOWARRIOR", "ZENTRIX_SAMPLING", "ZENTRIX_LOG"};
        // Freed memory filled with garbage, so that a use after free shows in a build without a
        // sanitizer too.
        run.variables = {"ZENTRIX_IOWARRIOR=sim:" + bench.string(), "ZENTRIX_SAMPLING=" + sampling,
                         "ZENTRIX_REGISTRY=" + (directory / "registry.reg").string(),
                         "MALLOC_PERTURB_=165", "ZENTRIX_LOG=" + log};
        run.scratchDirectory = directory;
        run.timeout = kChildTimeout;
        return zentrix::testing::RunChild(run);
    }

    std::map<std::tuple<int, int, int>, int> FinalOutputsOf(const std::string& name) const {
        return FinalOutputs(m_temp.Path() / name / "events.jsonl");
    }

    TempDir m_temp;
};

TEST_F(HostProcessTest, ExitWhileSamplingStopsTheSamplerAndLeavesTheOutputsAtTheirDefaults) {
    // Where a host that stops sampling before it exits leaves every output line.
    const ChildResult stopped = End("stopped", "stop", "concurrent", 5);
    ASSERT_EQ(stopped.exitCode, 0) << stopped.err;
    const auto defaults = FinalOutputsOf("stopped");
    ASSERT_FALSE(defaults.empty());

    // Each ending in each sampling mode, caught at different points of the passes; the hosts
    // mostly sleep, so several run at once.
    constexpr int kRuns = 40;
    constexpr int kAtOnce = 8;
    for (int first = 0; first < kRuns; first += kAtOnce) {
        std::vector<std::future<ChildResult>> results;
        for (int run = first; run < first + kAtOnce; ++run) {
            const std::string ending = run % 4 < 2 ? "exit" : "quick_exit";
            const std::string sampling = run % 2 == 0 ? "concurrent" : "serial";
            results.push_back(std::async(std::launch::async, [=, this] {
                return End("run" + std::to_string(run), ending, sampling, run % 7);
            }));
        }
        for (int run = first; run < first + kAtOnce; ++run) {
            const ChildResult result = results[static_cast<std::size_t>(run - first)].get();
            SCOPED_TRACE("run " + std::to_string(run));
            EXPECT_EQ(result.exitCode, 0) << result.err;
            EXPECT_FALSE(HasSanitizerReport(result.err)) << result.err;
            EXPECT_EQ(FinalOutputsOf("run" + std::to_string(run)), defaults);
        }
    }
}

// LeakSanitizer's own tracer can crash at exit (it then says so and aborts), which is a failure of
// the tool rather than a finding about the process.
bool LeakCheckBrokeDown(const ChildResult& result) {
    return result.err.find("LeakSanitizer has encountered a fatal error") != std::string::npos;
}

TEST_F(HostProcessTest, AHostThatUnloadedThePluginAfterSamplingExitsCleanly) {
    for (const std::string ending : {"unload_exit", "unload_quick_exit"}) {
        ChildResult result = End(ending, ending, "concurrent", 5);
        if (LeakCheckBrokeDown(result)) {
            result = End(ending + "_again", ending, "concurrent", 5);
        }
        EXPECT_EQ(result.exitCode, 0) << ending << ": " << result.err;
        EXPECT_FALSE(HasSanitizerReport(result.err)) << result.err;
    }
}

TEST_F(HostProcessTest, ABoxThatStopsAnsweringDoesNotHoldUpTheExit) {
    // The second box goes silent soon after sampling began: its thread then waits out read
    // timeouts of 1 + 1 + 10 + 10 seconds for every exchange, which the exit must not wait for.
    const auto start = std::chrono::steady_clock::now();
    const ChildResult result = End("silent", "exit", "concurrent", 1500,
                                   R"(, "faults": { "silent_after_reports": 500 })", "debug");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_FALSE(HasSanitizerReport(result.err)) << result.err;
    EXPECT_NE(result.err.find("within 1000 ms (attempt 1 of 4); retrying"), std::string::npos)
        << "the box did not go silent while sampling:\n"
        << result.err;
    EXPECT_LT(took, std::chrono::seconds(15));
}

TEST(HostDirectory, TheDialogLibraryAndTheRegistrationNeverFollowTheCurrentDirectory) {
    const TempDir temp;
    // A stranger's library under the dialog library's name, both where the plug-in's relative
    // directory points from the new current directory and in that directory itself.
    const fs::path elsewhere = temp.Path() / "elsewhere";
    const fs::path plugin = ZENTRIX_PLUGIN_PATH;
    for (const fs::path& directory : {elsewhere, elsewhere / plugin.parent_path().filename()}) {
        fs::create_directories(directory);
        fs::copy_file(ZENTRIX_PLANTED_LIBRARY_PATH, directory / "libzentrix_mapping_qt.so");
    }
    const fs::path marker = temp.Path() / "planted-library-ran";

    ChildRun run;
    run.program = ZENTRIX_HOST_CHILD_PATH;
    run.arguments = {"dialog", plugin.parent_path().parent_path().string(),
                     (fs::path(".") / plugin.parent_path().filename() / plugin.filename()).string(),
                     elsewhere.string()};
    run.withoutVariables = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "ZENTRIX_IOWARRIOR"};
    run.variables = {"ZENTRIX_IOWARRIOR=sim", "ZENTRIX_PLANTED_MARKER=" + marker.string(),
                     "ZENTRIX_REGISTRY=" + (temp.Path() / "registry.reg").string()};
    run.scratchDirectory = temp.Path();
    run.timeout = kChildTimeout;
    const ChildResult result = zentrix::testing::RunChild(run);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_FALSE(fs::exists(marker)) << "the dialog library was loaded from " << elsewhere;
    // The registration names the plug-in where it lies, not where the host went.
    const std::string store = ReadFile(temp.Path() / "registry.reg");
    EXPECT_NE(store.find("=\"" + plugin.string() + "\""), std::string::npos) << store;
    EXPECT_EQ(store.find(elsewhere.string()), std::string::npos) << store;
}

}  // namespace
