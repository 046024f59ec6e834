#include <gtest/gtest.h>

#include "BenchFixture.h"
#include "support/Allocations.h"

namespace {

using zentrix::kIow56PinReportSize;
using zentrix::kIowPipeIoPins;
using zentrix::sim::BoxConfig;
using zentrix::sim::InputSource;
using zentrix::sim::LickSource;
using zentrix::sim::PulseTrain;
using zentrix::sim::SdiBoard;
using zentrix::sim::TtlDevice;
using zentrix::sim::testing::OpenBench;
using zentrix::sim::testing::SingleBox;

TEST(SimulatorAllocations, ReportExchangesWithoutTraceOrEventLogAllocateNothing) {
    if (!zentrix::testing::AllocationsAreHooked()) {
        GTEST_SKIP() << "allocations are counted in builds without sanitizers";
    }
    BoxConfig box;
    box.sdiBoards = {{1, SdiBoard::TopUnitInterface}, {3, SdiBoard::Lickometer}};
    box.ttlDevices = {{1, TtlDevice::PelletDispenser}};
    box.inputs = {InputSource{6, 2, PulseTrain{50, 10, 2}}};
    box.licks = {LickSource{3, 4.0, 50}};
    OpenBench open(SingleBox(box));
    auto& reports = open.reports;
    open.ConfigureIoBox();
    reports.ConfigurePortExpander(1);
    std::uint8_t pins[kIow56PinReportSize] = {};

    zentrix::testing::ResetCountedAllocations();
    zentrix::testing::CountAllocations(true);
    for (int i = 0; i < 200; ++i) {
        reports.ReadPort(1);
        reports.ReadIoBoxRegister(0xCC);
        reports.Rearm();
        reports.WriteIoBoxRegister(0x44, static_cast<std::uint8_t>(i & 1));
        reports.WriteSdiRegister(1, 0x44, static_cast<std::uint8_t>(i & 0xFF));
        reports.ReadSlowDevice(3);
        reports.Strobe();
        open.bench.Read(open.handle, kIowPipeIoPins, pins, kIow56PinReportSize);
    }
    zentrix::testing::CountAllocations(false);

    EXPECT_EQ(zentrix::testing::CountedAllocations(), 0u);
    EXPECT_GT(open.Box().PelletsDropped(1), 0u);
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

}  // namespace
