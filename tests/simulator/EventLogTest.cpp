#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "BenchFixture.h"
#include "support/TempDir.h"

namespace {

using nlohmann::json;
using zentrix::sim::BenchConfig;
using zentrix::sim::BoxConfig;
using zentrix::sim::InputSource;
using zentrix::sim::PulseTrain;
using zentrix::sim::SdiBoard;
using zentrix::sim::TtlDevice;
using zentrix::sim::testing::OpenBench;
using zentrix::testing::TempDir;

std::vector<std::string> LinesOf(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::uint64_t SteadyNowUs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

std::vector<json> EventsOf(const std::filesystem::path& file) {
    std::vector<json> events;
    for (const auto& line : LinesOf(file)) {
        events.push_back(json::parse(line));
    }
    return events;
}

TEST(EventLog, WritesOneFlushedJsonObjectPerOutputLineChange) {
    TempDir dir;
    BenchConfig config;
    config.eventLog = (dir.Path() / "events.jsonl").string();
    BoxConfig box;
    box.boxId = 7;
    box.sdiBoards = {{1, SdiBoard::TopUnitInterface}};
    config.boxes.push_back(box);
    OpenBench open(config);
    open.ConfigureIoBox();
    open.reports.ConfigurePortExpander(1);
    EXPECT_TRUE(LinesOf(config.eventLog).empty()) << "configuring drives no line high";

    open.reports.WriteSdiRegister(1, 0x2B, 0x01);
    EXPECT_TRUE(LinesOf(config.eventLog).empty()) << "the line changes only on the strobe";
    const std::uint64_t beforeUs = SteadyNowUs();
    open.reports.WritePins(0xFF, 0x7F);
    const std::uint64_t changeMs = open.bench.NowMs();
    open.reports.DeselectAll();
    const std::uint64_t afterUs = SteadyNowUs();
    open.reports.WriteIoBoxRegister(0x44, 0x02);
    open.reports.WriteIoBoxRegister(0x44, 0x00);

    const auto lines = LinesOf(config.eventLog);
    ASSERT_EQ(lines.size(), 3u);
    const std::string fields = "{\"t_ms\": " + std::to_string(changeMs) +
                               ", \"box\": 7, \"port\": 13, \"line\": 8, \"io\": \"out\", "
                               "\"level\": 1, \"steady_us\": ";
    ASSERT_EQ(lines[0].substr(0, fields.size()), fields);
    const json strobed = json::parse(lines[0]);
    EXPECT_EQ(lines[0], fields + std::to_string(strobed["steady_us"].get<std::uint64_t>()) + "}");
    EXPECT_GE(strobed["steady_us"].get<std::uint64_t>(), beforeUs)
        << "the steady clock is read as the line changes";
    EXPECT_LE(strobed["steady_us"].get<std::uint64_t>(), afterUs);
    const json raised = json::parse(lines[1]);
    const json lowered = json::parse(lines[2]);
    EXPECT_EQ(raised["port"], 1);
    EXPECT_EQ(raised["line"], 2);
    EXPECT_EQ(raised["io"], "out");
    EXPECT_EQ(raised["level"], 1);
    EXPECT_EQ(lowered["level"], 0);
    EXPECT_LT(raised["t_ms"].get<std::uint64_t>(), lowered["t_ms"].get<std::uint64_t>());
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

TEST(EventLog, ReplaysEveryInputChangeOfALongTimeJumpInTimeOrderAcrossBoxes) {
    TempDir dir;
    BenchConfig config;
    config.eventLog = (dir.Path() / "events.jsonl").string();
    BoxConfig first;
    first.boxId = 2;
    first.inputs = {InputSource{3, 1, PulseTrain{200, 20, 0}}};
    BoxConfig second;
    second.boxId = 5;
    second.inputs = {InputSource{12, 2, PulseTrain{300, 50, 0}}};
    config.boxes = {first, second};
    OpenBench open(config);

    open.clock.Advance(10100);
    EXPECT_TRUE(open.bench.Box(0).InterruptLatched(0));
    EXPECT_TRUE(open.bench.Box(1).InterruptLatched(2));

    const auto events = EventsOf(config.eventLog);
    ASSERT_EQ(events.size(), 2u * 50 + 2u * 33);
    std::uint64_t previousMs = 0;
    int firstBoxEvents = 0;
    for (const auto& event : events) {
        const auto timeMs = event["t_ms"].get<std::uint64_t>();
        EXPECT_GE(timeMs, previousMs);
        previousMs = timeMs;
        EXPECT_EQ(event["io"], "in");
        if (event["box"] == 2) {
            EXPECT_EQ(event["port"], 3);
            EXPECT_EQ(event["line"], 1);
            const bool falling = timeMs % 200 == 0;
            EXPECT_EQ(event["level"], falling ? 0 : 1) << event.dump();
            ++firstBoxEvents;
        } else {
            EXPECT_EQ(event["box"], 5);
            EXPECT_EQ(event["port"], 12);
            EXPECT_EQ(event["line"], 2);
        }
    }
    EXPECT_EQ(firstBoxEvents, 100);
    EXPECT_EQ(events.front()["t_ms"], 200);
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

// Pin 26 is TTL port 12 line 1, in the group of register 0xD4 (pins 20..27, bit 6).
TEST(EventLog, RecordsAReadOnlyWhenItReturnsAnotherLevelThanTheLastRead) {
    TempDir dir;
    BenchConfig config;
    config.eventLog = (dir.Path() / "events.jsonl").string();
    config.boxes.push_back(BoxConfig{});
    OpenBench open(config);
    open.ConfigureIoBox();

    EXPECT_EQ(open.reports.ReadIoBoxRegister(0xD4) & 0x40, 0x40);
    EXPECT_TRUE(LinesOf(config.eventLog).empty()) << "the first read shows the power-up level";
    open.Box().DriveInput(12, 1, false);
    open.Box().DriveInput(12, 1, true);
    open.Box().DriveInput(12, 1, false);
    EXPECT_EQ(open.reports.ReadIoBoxRegister(0xD4) & 0x40, 0);
    EXPECT_EQ(open.reports.ReadIoBoxRegister(0xD4) & 0x40, 0);
    open.Box().DriveInput(12, 1, true);
    EXPECT_EQ(open.reports.ReadIoBoxRegister(0xCC), 0xFF) << "another group's read";
    EXPECT_EQ(open.reports.ReadIoBoxRegister(0xD4) & 0x40, 0x40);

    std::vector<std::pair<std::string, int>> seen;
    for (const auto& event : EventsOf(config.eventLog)) {
        EXPECT_EQ(event["port"], 12);
        EXPECT_EQ(event["line"], 1);
        seen.emplace_back(event["io"], event["level"]);
    }
    const std::vector<std::pair<std::string, int>> expected = {{"in", 0},   {"in", 1}, {"in", 0},
                                                               {"read", 0}, {"in", 1}, {"read", 1}};
    EXPECT_EQ(seen, expected) << "the pulse between two reads was never read";
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

TEST(EventLog, RecordsTheDispenserDropAsInputChangesAfterTheOutputEdge) {
    TempDir dir;
    BenchConfig config;
    config.eventLog = (dir.Path() / "events.jsonl").string();
    BoxConfig box;
    box.ttlDevices = {{5, TtlDevice::PelletDispenser}};
    config.boxes.push_back(box);
    OpenBench open(config);
    open.ConfigureIoBox();
    open.reports.WriteIoBoxRegister(0x4C, 0x01);
    open.clock.Advance(100);
    open.bench.NowMs();

    const auto events = EventsOf(config.eventLog);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0]["io"], "out");
    EXPECT_EQ(events[1]["io"], "in");
    EXPECT_EQ(events[1]["port"], 5);
    EXPECT_EQ(events[1]["line"], 1);
    EXPECT_EQ(events[1]["level"], 1);
    EXPECT_EQ(events[2]["level"], 0);
    EXPECT_EQ(events[1]["t_ms"].get<std::uint64_t>() - events[0]["t_ms"].get<std::uint64_t>(), 20u);
    EXPECT_EQ(events[2]["t_ms"].get<std::uint64_t>() - events[1]["t_ms"].get<std::uint64_t>(), 60u);
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

}  // namespace
