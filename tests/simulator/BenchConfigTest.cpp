#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "BenchFixture.h"
#include "simulator/BenchConfig.h"
#include "simulator/SimulatorBackend.h"
#include "support/TempDir.h"

namespace {

using zentrix::VirtualClock;
using zentrix::sim::BenchConfig;
using zentrix::sim::BenchConfigError;
using zentrix::sim::BoxConfig;
using zentrix::sim::ConstantLevel;
using zentrix::sim::DemoBench;
using zentrix::sim::FaultConfig;
using zentrix::sim::InputSource;
using zentrix::sim::LickSource;
using zentrix::sim::LoadBenchConfig;
using zentrix::sim::ParseBenchConfig;
using zentrix::sim::PulseTrain;
using zentrix::sim::SdiBoard;
using zentrix::sim::SimulatedBench;
using zentrix::sim::TtlDevice;
using zentrix::testing::TempDir;

constexpr const char* kFullBench = R"({
  "event_log": "/tmp/zentrix-events.jsonl",
  "controllers": [
    { "box_id": 0, "product_id": 5379, "serial": "00001001",
      "sdi":  { "1": "top-unit-interface", "3": "lickometer" },
      "ttl":  { "5": "pellet-dispenser" },
      "inputs": [ { "port": 3, "line": 1, "every_ms": 200, "low_ms": 20 },
                  { "port": 4, "line": 2, "level": 0 },
                  { "port": 6, "line": 1, "every_ms": 500, "low_ms": 50, "bounce_ms": 4,
                    "start_ms": 3000, "count": 7 } ],
      "licks":  [ { "sdi": 3, "per_second": 5, "lick_ms": 40, "start_ms": 100, "count": 9 } ],
      "faults": { "short_reads": 1, "throw_on_read": 2, "unplug_after_reports": 3,
                  "silent_after_reports": 4 },
      "late_select_us": 1500 },
    { "box_id": 255 } ] })";

std::filesystem::path DemoBenchFile() {
    return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "examples" /
           "bench-demo.json";
}

TEST(BenchConfigParsing, ReadsEveryFieldOfABenchFile) {
    const BenchConfig config = ParseBenchConfig(kFullBench);
    EXPECT_EQ(config.eventLog, "/tmp/zentrix-events.jsonl");
    ASSERT_EQ(config.boxes.size(), 2u);
    const BoxConfig& box = config.boxes[0];
    EXPECT_EQ(box.boxId, 0);
    EXPECT_EQ(box.productId, 5379u);
    EXPECT_EQ(box.serial, "00001001");
    EXPECT_EQ(box.sdiBoards, (std::map<int, SdiBoard>{{1, SdiBoard::TopUnitInterface},
                                                      {3, SdiBoard::Lickometer}}));
    EXPECT_EQ(box.ttlDevices, (std::map<int, TtlDevice>{{5, TtlDevice::PelletDispenser}}));
    EXPECT_EQ(box.inputs, (std::vector<InputSource>{{3, 1, PulseTrain{200, 20, 0}},
                                                    {4, 2, ConstantLevel{0}},
                                                    {6, 1, PulseTrain{500, 50, 4, 3000, 7}}}));
    EXPECT_EQ(box.licks, (std::vector<LickSource>{{3, 5.0, 40, 100, 9}}));
    EXPECT_EQ(box.faults, (FaultConfig{1, 2, 3, 4}));
    EXPECT_EQ(box.lateSelectUs, 1500u);

    const BoxConfig& minimal = config.boxes[1];
    EXPECT_EQ(minimal.boxId, 255);
    EXPECT_EQ(minimal.productId, zentrix::kIoWarrior56ProductId);
    EXPECT_TRUE(minimal.serial.empty());
    EXPECT_TRUE(minimal.sdiBoards.empty());
    EXPECT_EQ(minimal.faults, FaultConfig{});
    EXPECT_EQ(minimal.lateSelectUs, 0u);
}

TEST(BenchConfigParsing, TheExampleFileIsTheBuiltInDemoBench) {
    EXPECT_EQ(LoadBenchConfig(DemoBenchFile()), DemoBench());
    EXPECT_NO_THROW(zentrix::sim::ValidateBenchConfig(DemoBench()));
}

TEST(BenchConfigParsing, AnUnreadableFileIsNamedInTheError) {
    TempDir dir;
    try {
        LoadBenchConfig(dir.Path() / "missing.json");
        FAIL() << "no error";
    } catch (const BenchConfigError& error) {
        EXPECT_NE(std::string(error.what()).find("missing.json"), std::string::npos);
    }
    const auto bad = dir.Write("bad.json", R"({"controllers": [{"box_id": -1}]})");
    try {
        LoadBenchConfig(bad);
        FAIL() << "no error";
    } catch (const BenchConfigError& error) {
        EXPECT_EQ(std::string(error.what()),
                  bad.string() + ": controllers[0].box_id: must be between 0 and 255 (got -1)");
    }
}

struct BadBench {
    std::string json;
    std::string message;
};

std::string Box(const std::string& fields) {
    return R"({"controllers": [{"box_id": 0)" + fields + "}]}";
}

TEST(BenchConfigParsing, ErrorsNameTheOffendingField) {
    const std::vector<BadBench> cases = {
        {"not json", "bench is not valid JSON"},
        {"[]", "bench: must be a JSON object"},
        {"{}", "bench.controllers: is missing"},
        {R"({"controllers": [], "extra": 1})", "bench: unknown field \"extra\""},
        {R"({"controllers": {}})", "controllers: must be a JSON array"},
        {R"({"controllers": [], "event_log": 3})", "event_log: must be a string"},
        {R"({"controllers": [{}]})", "controllers[0].box_id: is missing"},
        {R"({"controllers": [7]})", "controllers[0]: must be a JSON object"},
        {Box(", \"name\": 1"), "controllers[0]: unknown field \"name\""},
        {R"({"controllers": [{"box_id": 0}, {"box_id": 256}]})",
         "controllers[1].box_id: must be between 0 and 255 (got 256)"},
        {R"({"controllers": [{"box_id": 1.5}]})", "controllers[0].box_id: must be an integer"},
        {R"({"controllers": [{"box_id": "0"}]})", "controllers[0].box_id: must be an integer"},
        {Box(", \"product_id\": 70000"), "controllers[0].product_id: must be between 0 and 65535"},
        {Box(", \"late_select_us\": 100001"),
         "controllers[0].late_select_us: must be between 0 and 100000 (got 100001)"},
        {Box(", \"late_select_us\": -1"),
         "controllers[0].late_select_us: must not be negative (got -1)"},
        {Box(", \"serial\": \"123\""),
         "controllers[0].serial: must be 8 printable ASCII characters (got \"123\")"},
        {Box(", \"serial\": 12345678"), "controllers[0].serial: must be a string"},
        {Box(R"(, "sdi": {"14": "lickometer"})"),
         "controllers[0].sdi.14: must be between 1 and 13"},
        {Box(R"(, "sdi": {"x": "lickometer"})"),
         "controllers[0].sdi: key \"x\" is not a port number"},
        {Box(R"(, "sdi": {"2": "lick-o-meter"})"),
         "controllers[0].sdi.2: unknown board \"lick-o-meter\""},
        {Box(R"(, "sdi": [])"), "controllers[0].sdi: must be a JSON object"},
        {Box(R"(, "ttl": {"13": "pellet-dispenser"})"),
         "controllers[0].ttl.13: must be between 1 and 12"},
        {Box(R"(, "ttl": {"1": "feeder"})"), "controllers[0].ttl.1: unknown device \"feeder\""},
        {Box(R"(, "inputs": [{"port": 3, "line": 3, "level": 1}])"),
         "controllers[0].inputs[0].line: must be between 1 and 2 (got 3)"},
        {Box(R"(, "inputs": [{"port": 0, "line": 1, "level": 1}])"),
         "controllers[0].inputs[0].port: must be between 1 and 12 (got 0)"},
        {Box(R"(, "inputs": [{"port": 1, "line": 1, "every_ms": 20, "low_ms": 20}])"),
         "controllers[0].inputs[0].every_ms: must be greater than low_ms"},
        {Box(R"(, "inputs": [{"port": 1, "line": 1, "every_ms": 20, "low_ms": 0}])"),
         "controllers[0].inputs[0].low_ms: must be greater than 0"},
        {Box(R"(, "inputs": [{"port": 1, "line": 1, "every_ms": 100, "low_ms": 20,
                              "bounce_ms": 20}])"),
         "controllers[0].inputs[0].bounce_ms: must be less than low_ms"},
        {Box(R"(, "inputs": [{"port": 1, "line": 1, "every_ms": 100, "low_ms": 90,
                              "bounce_ms": 10}])"),
         "controllers[0].inputs[0].bounce_ms: must be less than low_ms and less than"},
        {Box(R"(, "inputs": [{"port": 1, "line": 1, "level": 2}])"),
         "controllers[0].inputs[0].level: must be between 0 and 1 (got 2)"},
        {Box(R"(, "inputs": [{"port": 1, "line": 1, "level": 1, "every_ms": 5}])"),
         "controllers[0].inputs[0]: unknown field \"every_ms\""},
        {Box(R"(, "inputs": [{"port": 1, "line": 1, "low_ms": 5}])"),
         "controllers[0].inputs[0].every_ms: is missing"},
        {Box(R"(, "inputs": [{"port": 1, "line": 1, "every_ms": 5000000000, "low_ms": 5}])"),
         "controllers[0].inputs[0].every_ms: must be between 0 and 4294967295"},
        {Box(R"(, "inputs": [{"port": 3, "line": 1, "level": 1}, {"port": 3, "line": 1,
                                                                "level": 0}])"),
         "controllers[0].inputs[1]: TTL port 3 line 1 is already driven"},
        {Box(R"(, "ttl": {"2": "pellet-dispenser"},
                  "inputs": [{"port": 2, "line": 2, "level": 0}])"),
         "controllers[0].inputs[0]: TTL port 2 line 2 is already driven"},
        {Box(R"(, "sdi": {"1": "top-unit-interface"},
                  "licks": [{"sdi": 1, "per_second": 2, "lick_ms": 10}])"),
         "controllers[0].licks[0].sdi: SDI port 1 has no lickometer"},
        {Box(R"(, "sdi": {"1": "lickometer"},
                  "licks": [{"sdi": 1, "per_second": 0, "lick_ms": 10}])"),
         "controllers[0].licks[0].per_second: must be a number greater than 0"},
        {Box(R"(, "sdi": {"1": "lickometer"},
                  "licks": [{"sdi": 1, "per_second": 4, "lick_ms": 250}])"),
         "controllers[0].licks[0].lick_ms: must be shorter than the time between licks"},
        {Box(R"(, "sdi": {"1": "lickometer"},
                  "licks": [{"sdi": 1, "per_second": 4, "lick_ms": 0}])"),
         "controllers[0].licks[0].lick_ms: must be greater than 0"},
        {Box(R"(, "sdi": {"1": "lickometer"},
                  "licks": [{"sdi": 1, "per_second": "4", "lick_ms": 10}])"),
         "controllers[0].licks[0].per_second: must be a number"},
        {Box(R"(, "sdi": {"1": "lickometer"},
                  "licks": [{"sdi": 1, "per_second": 4, "lick_ms": 10},
                            {"sdi": 1, "per_second": 2, "lick_ms": 10}])"),
         "controllers[0].licks[1].sdi: SDI port 1 already has a lick source"},
        {Box(R"(, "faults": {"short_reads": -1})"),
         "controllers[0].faults.short_reads: must not be negative (got -1)"},
        {Box(R"(, "faults": {"drop_writes": 1})"),
         "controllers[0].faults: unknown field \"drop_writes\""},
    };
    for (const auto& bad : cases) {
        try {
            ParseBenchConfig(bad.json);
            ADD_FAILURE() << "accepted: " << bad.json;
        } catch (const BenchConfigError& error) {
            EXPECT_NE(std::string(error.what()).find(bad.message), std::string::npos)
                << "for " << bad.json << "\n got: " << error.what();
        }
    }
}

TEST(BenchConfigParsing, AnyDamagedTextGivesAConfigErrorAndNothingElse) {
    const std::string text = kFullBench;
    const auto parseSurvives = [](const std::string& candidate) {
        try {
            ParseBenchConfig(candidate);
        } catch (const BenchConfigError&) {
        } catch (...) {
            return false;
        }
        return true;
    };
    for (std::size_t length = 0; length < text.size(); ++length) {
        EXPECT_TRUE(parseSurvives(text.substr(0, length))) << "prefix of " << length;
    }
    const std::string replacements = "0-9\"{}[],:x\x01\xff";
    for (std::size_t position = 0; position < text.size(); position += 3) {
        for (const char replacement : replacements) {
            std::string damaged = text;
            damaged[position] = replacement;
            EXPECT_TRUE(parseSurvives(damaged)) << damaged;
        }
    }
}

TEST(BenchConfigValidation, TheBenchRefusesAnInvalidConfigurationBuiltInCode) {
    VirtualClock clock;
    BenchConfig config = DemoBench();
    config.boxes[0].licks[0].lickMs = 300;
    EXPECT_THROW(SimulatedBench(config, clock), BenchConfigError);

    config = DemoBench();
    config.eventLog = "/nonexistent-directory/events.jsonl";
    EXPECT_THROW(SimulatedBench(config, clock), std::runtime_error);
}

TEST(SimulatedLibraryBackend, BuildsTheDemoBenchOrTheBenchOfAFile) {
    VirtualClock clock;
    const auto demo = zentrix::sim::CreateSimulatedLibrary("", clock);
    ASSERT_NE(demo->OpenDevice(), nullptr);
    EXPECT_EQ(demo->GetNumDevs(), 1);

    TempDir dir;
    const auto file = dir.Write("bench.json", R"({"controllers": [{"box_id": 1}, {"box_id": 2}]})");
    const auto fromFile = zentrix::sim::CreateSimulatedLibrary(file.string(), clock);
    fromFile->OpenDevice();
    EXPECT_EQ(fromFile->GetNumDevs(), 2);
    EXPECT_THROW(zentrix::sim::CreateSimulatedLibrary((dir.Path() / "none.json").string(), clock),
                 BenchConfigError);
}

}  // namespace
