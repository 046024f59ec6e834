// Runs `zentrix bench` as a child process on short scenarios and checks its figures for sanity:
// every figure present, ratios to the floor at least 1, latency above zero and every edge of a
// slow moving input counted on one box. The timings themselves are not judged.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using zentrix::testing::ChildResult;
using zentrix::testing::ChildRun;
using zentrix::testing::Lines;
using zentrix::testing::TempDir;

constexpr auto kChildTimeout = std::chrono::seconds(90);

fs::path CliPath() {
    return fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "cli" / "zentrix";
}

class BenchCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(CliPath()))
            << CliPath() << " is missing: build the zentrix_cli target before the tests";
        fs::create_directories(TemporaryDirectory());
    }

    fs::path TemporaryDirectory() const { return m_temp.Path() / "tmp"; }
    fs::path ConfigHome() const { return m_temp.Path() / "xdg"; }

    // Runs zentrix with its own temporary directory, registry store and configuration home, so
    // that the test sees what the bench leaves behind and no test touches the real ones.
    ChildResult Run(const std::vector<std::string>& arguments,
                    const std::vector<std::string>& extraEnvironment = {}) {
        ChildRun run;
        run.program = CliPath();
        run.arguments = arguments;
        run.withoutVariables = {"ZENTRIX_IOWARRIOR",
                                "ZENTRIX_REGISTRY",
                                "ZENTRIX_PERIOD_TRACE",
                                "ZENTRIX_SAMPLING",
                                "XDG_CONFIG_HOME",
                                "HOME",
                                "TMPDIR",
                                "DISPLAY",
                                "WAYLAND_DISPLAY"};
        run.variables = {"ZENTRIX_REGISTRY=" + (m_temp.Path() / "registry.reg").string(),
                         "XDG_CONFIG_HOME=" + ConfigHome().string(),
                         "HOME=" + (m_temp.Path() / "home").string(),
                         "TMPDIR=" + TemporaryDirectory().string()};
        run.variables.insert(run.variables.end(), extraEnvironment.begin(), extraEnvironment.end());
        run.scratchDirectory = m_temp.Path();
        run.timeout = kChildTimeout;
        return RunChild(run);
    }

    void ExpectNothingLeftBehind() {
        EXPECT_TRUE(fs::is_empty(TemporaryDirectory()))
            << "the bench's scratch directory is removed";
        EXPECT_FALSE(fs::exists(ConfigHome())) << "the user's configuration is not touched";
    }

    TempDir m_temp;
};

void ExpectPeriodFigure(const json& figure, const std::string& what) {
    ASSERT_TRUE(figure.is_object()) << what;
    const auto wall = figure["wall_us"].get<std::uint64_t>();
    const auto floor = figure["floor_us"].get<std::uint64_t>();
    // A lean period whose passes outlast its pacing sleeps nothing after them, so its floor may
    // be only the waits inside the passes; its wall time is never below the shortest period.
    EXPECT_GE(wall, 2000u) << what << ": no period is shorter than the loop's 2 ms wait";
    EXPECT_GE(wall, floor) << what;
    const double ratio = figure["ratio"].get<double>();
    EXPECT_NEAR(ratio, static_cast<double>(wall) / static_cast<double>(floor), 0.001) << what;
    // No upper bound: how far a period overshoots its floor depends on the machine's load.
    EXPECT_GE(ratio, 1.0) << what;
}

void ExpectOrderedDistribution(const json& figures, const std::string& suffix,
                               const std::string& what) {
    const double median = figures["median" + suffix].get<double>();
    const double p99 = figures["p99" + suffix].get<double>();
    const double max = figures["max" + suffix].get<double>();
    EXPECT_LE(median, p99) << what;
    EXPECT_LE(p99, max) << what;
}

TEST_F(BenchCommandTest, JsonHasEveryFigureForEachLoadAndModeAndCountsEveryEdgeOfOneBox) {
    const ChildResult result =
        Run({"--json", "bench", "--boxes", "1", "--seconds", "0.7", "--toggle-every", "600",
             "--command-every", "40", "--timings", "lean"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const json document = json::parse(result.out);
    EXPECT_EQ(document["backend"], "simulator");
    EXPECT_EQ(document["seconds_per_scenario"], 0.7);
    EXPECT_EQ(document["command_every_ms"], 40.0);
    EXPECT_EQ(document["toggle"]["every_ms"], 600);
    EXPECT_EQ(document["toggle"]["low_ms"], 300);
    EXPECT_GT(document["machine"]["cores"].get<unsigned>(), 0u);
    EXPECT_EQ(document["machine"]["load_before"].size(), 3u);
    EXPECT_EQ(document["machine"]["load_after"].size(), 3u);
    for (const char* thread : {"plain", "timely"}) {
        const json& sleep = document["machine"]["bare_2ms_sleep"][thread];
        EXPECT_GE(sleep["overshoot_median_us"].get<double>(), 0.0) << thread;
        EXPECT_GT(sleep["cpu_us"].get<double>(), 0.0) << thread;
    }
    EXPECT_EQ(document["interrupted"], false);

    const json& scenarios = document["scenarios"];
    ASSERT_EQ(scenarios.size(), 4u) << result.out;
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"idle", "serial"}, {"idle", "concurrent"}, {"active", "serial"}, {"active", "concurrent"}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const json& scenario = scenarios[i];
        const std::string what = expected[i].first + " " + expected[i].second;
        EXPECT_EQ(scenario["boxes"], 1) << what;
        EXPECT_EQ(scenario["load"], expected[i].first);
        EXPECT_EQ(scenario["mode"], expected[i].second);
        EXPECT_EQ(scenario["timing"], "lean");
        EXPECT_GE(scenario["seconds"].get<double>(), 0.7) << what;
        // An idle lean box reads its pins about every 6.6 ms: two reports each.
        EXPECT_GT(scenario["reports_per_second_per_box"].get<double>(), 100.0) << what;

        const json& periods = scenario["periods"];
        EXPECT_GT(periods["count"].get<int>(), 5) << what;
        EXPECT_GE(periods["threads"].get<int>(), 1) << what;
        ExpectPeriodFigure(periods["median"], what + " median");
        ExpectPeriodFigure(periods["p99"], what + " p99");
        ExpectPeriodFigure(periods["max"], what + " max");
        EXPECT_LE(periods["median"]["wall_us"].get<double>(),
                  periods["p99"]["wall_us"].get<double>());
        EXPECT_LE(periods["p99"]["wall_us"].get<double>(), periods["max"]["wall_us"].get<double>());
        ExpectOrderedDistribution(periods["ratio"], "", what + " ratio");
        EXPECT_GE(periods["ratio"]["median"].get<double>(), 1.0) << what;

        const json& cpu = scenario["cpu_per_period"];
        ExpectOrderedDistribution(cpu, "_us", what + " cpu");
        EXPECT_GT(cpu["max_us"].get<double>(), 0.0) << what;
        EXPECT_GT(cpu["percent_of_core"].get<double>(), 0.0) << what;
        EXPECT_LT(cpu["percent_of_core"].get<double>(), 100.0) << what;
        EXPECT_EQ(cpu["percent_of_core_per_box"], cpu["percent_of_core"]) << what;

        const json& latency = scenario["latency"];
        EXPECT_GT(latency["sent"].get<int>(), 3) << what;
        EXPECT_GE(latency["answered"].get<int>(), latency["sent"].get<int>() - 1) << what;
        EXPECT_LE(latency["answered"].get<int>(), latency["sent"].get<int>()) << what;
        EXPECT_GT(latency["median_us"].get<double>(), 0.0) << what;
        EXPECT_LT(latency["max_us"].get<double>(), 5e6) << what;
        ExpectOrderedDistribution(latency, "_us", what + " latency");

        const json& edges = scenario["edges"];
        ASSERT_EQ(edges["per_box"].size(), 1u) << what;
        EXPECT_EQ(edges["per_box"][0]["box"], 0);
        EXPECT_EQ(edges["per_box"][0]["counted"], edges["counted"]) << what;
        EXPECT_EQ(edges["per_box"][0]["produced"], edges["produced"]) << what;
        EXPECT_EQ(edges["counted"], edges["produced"]) << what;
        EXPECT_EQ(edges["read"], edges["produced"]) << what << ": reads see every 300 ms low";
        EXPECT_EQ(edges["session_counted"], edges["session_read"]) << what;
        EXPECT_GE(edges["session_counted"], edges["counted"]) << what;
        const json& wait = scenario["input_to_read"];
        const json& windows = scenario["event_windows"];
        EXPECT_GE(windows["commands"].get<int>(), latency["answered"].get<int>()) << what;
        ExpectOrderedDistribution(windows, "_command_us", what + " command windows");
        if (expected[i].first == "active") {
            EXPECT_GE(edges["produced"].get<int>(), 1) << what;
            // Every fall and rise the reads showed, once per line signal, each within a period
            // and the read that saw it.
            EXPECT_GE(windows["edges"].get<int>(), 2 * edges["produced"].get<int>() - 1) << what;
            ExpectOrderedDistribution(windows, "_edge_us", what + " edge windows");
            EXPECT_LE(windows["max_edge_us"].get<double>(),
                      2.0 * scenario["periods"]["max"]["wall_us"].get<double>())
                << what;
            EXPECT_EQ(wait["seen"], edges["produced"]) << what;
            EXPECT_EQ(wait["missed"], 0) << what;
            ExpectOrderedDistribution(wait, "_ms", what + " input to read");
            EXPECT_EQ(scenario["toggle_low_ms"], 300) << what;
        } else {
            EXPECT_EQ(edges["produced"], 0) << what;
            EXPECT_TRUE(wait.is_null()) << what;
            EXPECT_EQ(windows["edges"], 0) << what;
        }
    }
    ExpectNothingLeftBehind();
}

// An input that moves faster than a box's longest periods loses falls between two reads; the
// host must still count exactly the falls the box's reads showed, box by box, in both modes.
TEST_F(BenchCommandTest, CountsExactlyTheFallsTheReadsShowedOnEveryBox) {
    const ChildResult result =
        Run({"--json", "bench", "--boxes", "2", "--loads", "active", "--seconds", "2.5",
             "--toggle-every", "60", "--timings", "original,lean"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const json document = json::parse(result.out);
    ASSERT_EQ(document["scenarios"].size(), 4u) << result.out;
    std::int64_t lost = 0;
    for (const json& scenario : document["scenarios"]) {
        const std::string mode =
            scenario["mode"].get<std::string>() + " " + scenario["timing"].get<std::string>();
        const json& edges = scenario["edges"];
        ASSERT_EQ(edges["per_box"].size(), 2u) << mode;
        for (const json& box : edges["per_box"]) {
            const std::string what = mode + " box " + std::to_string(box["box"].get<int>());
            EXPECT_GT(box["session_read"].get<std::int64_t>(), 0) << what;
            EXPECT_EQ(box["session_counted"], box["session_read"]) << what;
            EXPECT_LE(box["read"].get<std::int64_t>(), box["produced"].get<std::int64_t>()) << what;
            if (scenario["timing"] == "original") {
                lost += box["produced"].get<std::int64_t>() - box["read"].get<std::int64_t>();
            }
        }
    }
    EXPECT_GT(lost, 0) << "a 30 ms low is shorter than an original serial period of two boxes";
    ExpectNothingLeftBehind();
}

TEST_F(BenchCommandTest, TextShowsPeriodAndLatencyTablesWithARowPerBoxCountLoadAndMode) {
    const ChildResult result =
        Run({"bench", "--boxes", "2,1,2", "--loads", "idle", "--modes", "concurrent", "--seconds",
             "0.3", "--command-every", "0", "--timings", "spec"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const auto lines = Lines(result.out);
    std::vector<std::string> rows;
    int headers = 0;
    for (const std::string& line : lines) {
        headers += line.rfind("BOXES", 0) == 0 ? 1 : 0;
        if (line.rfind("2 ", 0) == 0 || line.rfind("1 ", 0) == 0) {
            rows.push_back(line);
        }
    }
    // Periods, latency, the wait from an input change to its read (no rows: nothing moves) and
    // the events' windows.
    EXPECT_EQ(headers, 4) << result.out;
    ASSERT_EQ(rows.size(), 6u) << result.out;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        std::istringstream row(rows[i]);
        std::string boxes;
        std::string load;
        std::string mode;
        std::string timing;
        row >> boxes >> load >> mode >> timing;
        EXPECT_EQ(boxes, i % 2 == 0 ? "2" : "1") << "box counts in the order given, once each";
        EXPECT_EQ(load, "idle");
        EXPECT_EQ(mode, "concurrent");
        EXPECT_EQ(timing, "spec");
    }
    EXPECT_NE(result.out.find(", no commands"), std::string::npos) << result.out;
    EXPECT_NE(rows[0].find("x)"), std::string::npos) << "periods carry their ratio to the floor";
    ExpectNothingLeftBehind();
}

TEST_F(BenchCommandTest, APulseWidthSweepCountsEachWidthAndNamesTheShortestCountedReliably) {
    const ChildResult result =
        Run({"--json", "bench", "--boxes", "1", "--loads", "active", "--modes", "concurrent",
             "--timings", "lean", "--pulse-widths", "200,40", "--seconds", "1.2"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const json document = json::parse(result.out);
    EXPECT_EQ(document["pulse_widths_ms"], json::array({40, 200}));
    ASSERT_EQ(document["scenarios"].size(), 2u) << result.out;
    EXPECT_EQ(document["scenarios"][0]["toggle_low_ms"], 40);
    EXPECT_EQ(document["scenarios"][1]["toggle_low_ms"], 200);
    ASSERT_EQ(document["sweep"].size(), 1u) << result.out;
    const json& series = document["sweep"][0];
    EXPECT_EQ(series["timing"], "lean");
    ASSERT_EQ(series["points"].size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        const json& point = series["points"][i];
        const json& edges = document["scenarios"][i]["edges"];
        EXPECT_EQ(point["counted"], edges["counted"]);
        EXPECT_EQ(point["produced"], edges["produced"]);
        EXPECT_GE(point["produced"].get<int>(), 3) << point;
    }
    // Lean periods read the inputs every 6.6 ms or so: a 200 ms low is never missed.
    EXPECT_EQ(series["points"][1]["percent"], 100.0);
    ASSERT_TRUE(series["shortest_ms"].is_number()) << series;
    EXPECT_LE(series["shortest_ms"].get<int>(), 200);
    ExpectNothingLeftBehind();
}

TEST_F(BenchCommandTest, BadOptionsAreUsageErrors) {
    const std::vector<std::vector<std::string>> bad = {
        {"bench", "--boxes", "0"},
        {"bench", "--boxes", "17"},
        {"bench", "--boxes", "two"},
        {"bench", "--modes", "fast"},
        {"bench", "--loads", "busy"},
        {"bench", "--seconds", "0"},
        {"bench", "--command-every", "1"},
        {"bench", "--toggle-every", "10"},
        {"bench", "--real", "--boxes", "2"},
        {"bench", "--timings", "fast"},
        {"bench", "--pulse-widths", "0"},
        {"bench", "--pulse-widths", "20", "--toggle-every", "100"},
        {"bench", "--real", "--timings", "spec"},
        {"bench", "--real", "--loads", "idle"},
        {"bench", "--unknown"},
    };
    for (const auto& arguments : bad) {
        const ChildResult result = Run(arguments);
        EXPECT_EQ(result.exitCode, 2) << arguments[1] << ": " << result.err;
        EXPECT_TRUE(result.out.empty()) << result.out;
        EXPECT_EQ(result.err.rfind("zentrix: ", 0), 0u) << result.err;
    }
    ExpectNothingLeftBehind();
}

TEST_F(BenchCommandTest, RealWithoutAnAttachedBoxRefusesClearly) {
    // The simulator named in the environment must not stand in for real boxes.
    const ChildResult result =
        Run({"bench", "--real", "--seconds", "0.2"}, {"ZENTRIX_IOWARRIOR=sim"});
    EXPECT_EQ(result.exitCode, 1) << result.out;
    EXPECT_TRUE(result.out.empty()) << result.out;
    const auto errors = Lines(result.err);
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.back(),
              "zentrix: --real found no IO box attached (the plug-in sees none; zentrix check "
              "tells why); without --real the bench runs on the simulator");
    EXPECT_TRUE(fs::is_empty(TemporaryDirectory()));
}

}  // namespace
