#include <gtest/gtest.h>

#include <stdexcept>

#include "BenchFixture.h"

namespace {

using zentrix::kIow56PinReportSize;
using zentrix::kIow56SpecialReportSize;
using zentrix::kIowPipeIoPins;
using zentrix::kIowPipeSpecialMode;
using zentrix::sim::BoxConfig;
using zentrix::sim::FaultConfig;
using zentrix::sim::testing::OpenBench;
using zentrix::sim::testing::PluginReports;
using zentrix::sim::testing::SingleBox;

constexpr std::uint32_t kLadderMs[] = {1000, 1000, 10000, 10000};

// The plug-in's read: up to four attempts with the timeouts of its ladder, 2 ms after each.
bool ReadWithLadder(OpenBench& open, PluginReports::Report& reply, int& attempts) {
    attempts = 0;
    for (const std::uint32_t timeoutMs : kLadderMs) {
        ++attempts;
        open.bench.SetTimeout(open.handle, timeoutMs);
        const auto read = open.bench.Read(open.handle, kIowPipeSpecialMode, reply.data(),
                                          kIow56SpecialReportSize);
        open.clock.SleepMs(2);
        if (read == kIow56SpecialReportSize) {
            return true;
        }
    }
    return false;
}

std::uint32_t RequestPins(OpenBench& open) {
    const PluginReports::Report readPins{0xFF};
    return open.bench.Write(open.handle, kIowPipeSpecialMode, readPins.data(),
                            kIow56SpecialReportSize);
}

TEST(FaultInjection, ShortReadsCostTheirTimeoutAndLeaveTheReplyForALaterAttempt) {
    BoxConfig box;
    box.boxId = 9;
    box.faults.shortReads = 3;
    OpenBench open(SingleBox(box));
    ASSERT_EQ(RequestPins(open), kIow56SpecialReportSize);

    PluginReports::Report reply{};
    int attempts = 0;
    const std::uint64_t startMs = open.bench.NowMs();
    ASSERT_TRUE(ReadWithLadder(open, reply, attempts));
    EXPECT_EQ(attempts, 4);
    EXPECT_EQ(reply[3], 9);
    EXPECT_EQ(open.bench.NowMs() - startMs, 1000u + 1000u + 10000u + 4 * 2u);
    EXPECT_EQ(open.Box().Faults().shortReads, 0u);
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

TEST(FaultInjection, ThrowingReadsRaiseAtOnceAndThenTheReplyArrives) {
    OpenBench open(SingleBox());
    open.Box().SetFaults(FaultConfig{0, 2, 0});
    ASSERT_EQ(RequestPins(open), kIow56SpecialReportSize);
    PluginReports::Report reply{};
    const std::uint64_t startMs = open.bench.NowMs();
    EXPECT_THROW(
        open.bench.Read(open.handle, kIowPipeSpecialMode, reply.data(), kIow56SpecialReportSize),
        std::runtime_error);
    EXPECT_THROW(
        open.bench.Read(open.handle, kIowPipeSpecialMode, reply.data(), kIow56SpecialReportSize),
        std::runtime_error);
    EXPECT_EQ(open.bench.NowMs(), startMs);
    EXPECT_EQ(
        open.bench.Read(open.handle, kIowPipeSpecialMode, reply.data(), kIow56SpecialReportSize),
        kIow56SpecialReportSize);
    EXPECT_EQ(reply[0], 0xFF);
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

TEST(FaultInjection, AnUnpluggedBoxTransfersNothingAfterItsLastReport) {
    OpenBench open(SingleBox());
    auto& box = open.Box();
    open.reports.DeselectAll();
    box.SetFaults(FaultConfig{0, 0, 3});
    EXPECT_FALSE(box.IsUnplugged());

    open.reports.SelectIoBox();
    EXPECT_EQ(RequestPins(open), kIow56SpecialReportSize);
    PluginReports::Report reply{};
    EXPECT_EQ(
        open.bench.Read(open.handle, kIowPipeSpecialMode, reply.data(), kIow56SpecialReportSize),
        kIow56SpecialReportSize)
        << "the third report still gets through";
    EXPECT_TRUE(box.IsUnplugged());

    open.reports.DeselectAll();
    EXPECT_EQ(open.reports.lastWrittenBytes, 0u);
    EXPECT_EQ(RequestPins(open), 0u);
    const std::uint64_t startMs = open.bench.NowMs();
    EXPECT_EQ(
        open.bench.Read(open.handle, kIowPipeSpecialMode, reply.data(), kIow56SpecialReportSize),
        0u);
    EXPECT_EQ(open.bench.NowMs(), startMs) << "an unplugged device fails without waiting";
    const std::uint8_t pins[kIow56PinReportSize] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(open.bench.Write(open.handle, kIowPipeIoPins, pins, kIow56PinReportSize), 0u);

    box.SetFaults(FaultConfig{});
    EXPECT_FALSE(box.IsUnplugged());
    EXPECT_EQ(open.reports.ReadPort(4), 0xBF) << "the deselect written while unplugged was lost";
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

}  // namespace

TEST(FaultInjection, ASilentBoxTakesWritesButEveryReadWaitsItsTimeoutForNothing) {
    OpenBench open(SingleBox());
    auto& box = open.Box();
    open.reports.DeselectAll();
    box.SetFaults(FaultConfig{0, 0, 0, 2});
    open.reports.SelectIoBox();
    EXPECT_EQ(RequestPins(open), kIow56SpecialReportSize) << "the second report still answers";

    PluginReports::Report reply{};
    int attempts = 0;
    const std::uint64_t startMs = open.bench.NowMs();
    EXPECT_FALSE(ReadWithLadder(open, reply, attempts));
    EXPECT_EQ(open.bench.NowMs() - startMs, 1000u + 1000u + 10000u + 10000u + 4 * 2u);
    EXPECT_FALSE(box.IsUnplugged());
    EXPECT_EQ(RequestPins(open), kIow56SpecialReportSize) << "writes still go through";

    box.SetFaults(FaultConfig{});
    ASSERT_TRUE(ReadWithLadder(open, reply, attempts));
    EXPECT_EQ(attempts, 1);
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}
