#include <gtest/gtest.h>

#include "BenchFixture.h"

namespace {

using zentrix::kIow56SpecialReportSize;
using zentrix::kIowPipeSpecialMode;
using zentrix::sim::BoxConfig;
using zentrix::sim::InputSource;
using zentrix::sim::PulseTrain;
using zentrix::sim::TtlDevice;
using zentrix::sim::testing::OpenBench;
using zentrix::sim::testing::SingleBox;

constexpr std::uint32_t kClockStartMs = 0xFFFFFFFFu - 99;

BoxConfig ButtonAndDispenser() {
    BoxConfig box;
    box.inputs = {InputSource{1, 1, PulseTrain{200, 20, 0}}};
    box.ttlDevices = {{5, TtlDevice::PelletDispenser}};
    return box;
}

TEST(ClockWrap, SimulatorTimeRunsOnSmoothlyWhenTheClockCounterWraps) {
    OpenBench open(SingleBox(ButtonAndDispenser()), kClockStartMs);
    auto& box = open.Box();
    EXPECT_EQ(open.bench.NowMs(), 0u);

    open.AdvanceTo(99);
    EXPECT_EQ(open.clock.NowMs(), 0xFFFFFFFFu);
    open.AdvanceTo(205);
    EXPECT_EQ(open.clock.NowMs(), 105u);
    EXPECT_EQ(open.bench.NowMs(), 205u);
    EXPECT_FALSE(box.InputLevel(1, 1));
    open.AdvanceTo(220);
    EXPECT_TRUE(box.InputLevel(1, 1));
    EXPECT_TRUE(box.InterruptLatched(0));

    std::uint8_t reply[kIow56SpecialReportSize] = {};
    open.bench.SetTimeout(open.handle, 5000);
    open.bench.Read(open.handle, kIowPipeSpecialMode, reply, kIow56SpecialReportSize);
    EXPECT_EQ(open.bench.NowMs(), 5220u);

    open.clock.Set(open.clock.NowMs() - 1000);
    EXPECT_EQ(open.bench.NowMs(), 5220u) << "a clock set back does not replay 49 days";
    open.clock.Advance(10);
    EXPECT_EQ(open.bench.NowMs(), 5230u);
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

TEST(ClockWrap, APelletDropStartedBeforeTheWrapEndsOnTimeAfterIt) {
    OpenBench open(SingleBox(ButtonAndDispenser()), kClockStartMs);
    auto& box = open.Box();
    open.ConfigureIoBox();
    open.AdvanceTo(90);
    open.reports.SelectIoBox();
    const std::uint64_t edgeMs = open.bench.NowMs();
    open.reports.Transfer(0x00, 0x00, 0x4C, 0x01);
    open.reports.DeselectAll();

    open.AdvanceTo(edgeMs + 19);
    EXPECT_FALSE(box.InputLevel(5, 1));
    open.AdvanceTo(edgeMs + 20);
    EXPECT_TRUE(box.InputLevel(5, 1));
    EXPECT_LT(open.clock.NowMs(), 100u) << "the drop started after the wrap";
    open.AdvanceTo(edgeMs + 80);
    EXPECT_FALSE(box.InputLevel(5, 1));
    EXPECT_EQ(box.PelletsDropped(5), 1u);
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

}  // namespace
