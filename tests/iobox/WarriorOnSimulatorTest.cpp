// The access layer against the simulated IO box: what the layer sends must be what the box
// understands, with no protocol error anywhere.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../simulator/BenchFixture.h"
#include "iobox/Warrior.h"

namespace {

using zentrix::sim::BoxConfig;
using zentrix::sim::InputSource;
using zentrix::sim::LickSource;
using zentrix::sim::PulseTrain;
using zentrix::sim::SdiBoard;
using zentrix::sim::TtlDevice;
using zentrix::sim::testing::OpenBench;
using zentrix::sim::testing::SingleBox;

BoxConfig Bench() {
    BoxConfig box;
    box.sdiBoards = {{1, SdiBoard::TopUnitInterface}, {3, SdiBoard::Lickometer}};
    box.ttlDevices = {{5, TtlDevice::PelletDispenser}};
    box.inputs = {InputSource{3, 1, PulseTrain{200, 20, 0}}};
    box.licks = {LickSource{3, 5.0, 40}};
    return box;
}

class WarriorOnSimulatorTest : public ::testing::Test {
protected:
    WarriorOnSimulatorTest() {
        warrior.Configure({{5, 1}}, {{1, 1}, {1, 8}, {1, 28}}, {{3, 1}, {5, 1}, {5, 2}}, {},
                          {{3, 4}}, {1}, {3}, 1.0);
    }

    OpenBench open{SingleBox(Bench())};
    TCHiIobWarrior warrior{open.handle, open.bench, open.clock};
};

TEST_F(WarriorOnSimulatorTest, ConfiguredOutputsReachTheLinesOfTheBox) {
    warrior.ResetOutputs();
    warrior.WriteOutputs(false, false);
    warrior.SetOutput(13, 8, true, 0);
    warrior.SetOutput(13, 28, true, 0);
    warrior.WriteOutputs(true, false);
    EXPECT_TRUE(open.Box().SpiEnabled());
    EXPECT_TRUE(open.Box().OutputLevel(13, 8));
    EXPECT_TRUE(open.Box().OutputLevel(13, 28));
    EXPECT_FALSE(open.Box().OutputLevel(13, 1));
    EXPECT_GT(open.Box().StrobePulses(), 0u);
    warrior.Unconfigure();
    EXPECT_FALSE(open.Box().SpiEnabled());
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

TEST_F(WarriorOnSimulatorTest, DropPulseMakesTheDispenserDropOnce) {
    warrior.ResetOutputs();
    warrior.ResetInputs();
    warrior.WriteOutputs(false, false);
    warrior.SetOutput(5, 1, true, 30);
    bool sawDrop = false;
    for (int pass = 0; pass < 100; ++pass) {
        warrior.ReadInputs(true);
        sawDrop = sawDrop || warrior.GetInputBit(5, 1);
        warrior.WriteOutputs(true, false);
        open.clock.SleepMs(2);
    }
    EXPECT_TRUE(sawDrop);
    EXPECT_FALSE(warrior.GetOutputBit(5, 1));
    EXPECT_EQ(open.Box().PelletsDropped(5), 1u);
    // The error line stays high.
    EXPECT_TRUE(warrior.GetInputBit(5, 2));
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

TEST_F(WarriorOnSimulatorTest, InterruptsFlagButtonPressesAndTheLickometerIsPolledOncePerPeriod) {
    warrior.ResetInputs();
    int lowPasses = 0;
    std::int64_t licks = 0;
    std::int64_t duration = 0;
    for (int pass = 0; pass < 500; ++pass) {
        warrior.ReadInputs(true);
        lowPasses += warrior.GetInputBit(3, 1) ? 0 : 1;
        licks += warrior.GetSlowDeviceByte(15, 0) + 255 * warrior.GetSlowDeviceByte(15, 1);
        duration += warrior.GetSlowDeviceByte(15, 2) + 255 * warrior.GetSlowDeviceByte(15, 3);
        open.clock.SleepMs(2);
    }
    const std::uint64_t elapsed = open.bench.NowMs();
    EXPECT_GT(lowPasses, 0);
    // Five licks a second of 40 ms each, read about once a second.
    EXPECT_NEAR(static_cast<double>(licks), 5.0 * static_cast<double>(elapsed) / 1000.0, 6.0);
    EXPECT_EQ(duration, licks * 4);
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

// Group 0 is latched when a pass starts, and a line of group 1 falls after the pass has read the
// interrupt lines but before its re-arm pulse has ended: the re-arm clears that change unread.
TEST(WarriorRearmWindow, AChangeInAnUnflaggedGroupDuringTheRearmIsReadInTheSamePass) {
    constexpr std::uint64_t kFallMs = 1000;
    // The pass reads the pins at its start, and its re-arm pulse ends 7 ms later.
    for (std::uint64_t delay = 1; delay <= 6; ++delay) {
        SCOPED_TRACE("fall " + std::to_string(delay) + " ms into the pass");
        BoxConfig box;
        box.inputs = {InputSource{6, 2, PulseTrain{kFallMs, 500, 0}}};
        OpenBench open{SingleBox(box)};
        TCHiIobWarrior warrior{open.handle, open.bench, open.clock};
        warrior.Configure({}, {}, {{3, 1}, {6, 2}}, {}, {}, {}, {}, 1.0);
        warrior.ResetInputs();
        warrior.ReadInputs(false);
        ASSERT_TRUE(warrior.GetInputBit(6, 2));

        open.Box().DriveInput(3, 1, false);
        open.AdvanceTo(kFallMs - delay);
        ASSERT_TRUE(open.Box().InputLevel(6, 2));
        ASSERT_TRUE(warrior.ReadInputs(true));
        ASSERT_FALSE(open.Box().InputLevel(6, 2));
        EXPECT_FALSE(open.Box().InterruptLatched(1)) << "the re-arm has cleared the change";
        EXPECT_FALSE(warrior.GetInputBit(3, 1));
        EXPECT_FALSE(warrior.GetInputBit(6, 2));
        EXPECT_NO_PROTOCOL_ERRORS(open.bench);
    }
}

// What a user of the controller killed in the middle of its exchanges leaves behind: SPI on and
// replies it never read, a 4-byte one from the IO box expanders, a read-pins one and a 2-byte one
// from the expander behind SDI 1.
void LeaveUnreadReplies(OpenBench& open) {
    using Report = zentrix::sim::testing::PluginReports::Report;
    const auto send = [&open](const Report& report) {
        open.bench.Write(open.handle, zentrix::kIowPipeSpecialMode, report.data(),
                         zentrix::kIow56SpecialReportSize);
    };
    const std::size_t before = open.Box().PendingReplies();
    open.ConfigureIoBox();
    open.reports.SelectIoBox();
    send(Report{0x09, 0x04, 0x00, 0x0F, 0xFF, 0x0F, 0x55});
    open.reports.DeselectAll();
    send(Report{0xFF});
    open.reports.SelectPort(1);
    send(Report{0x09, 0x02, 0x00, 0x00, 0x00});
    open.reports.DeselectAll();
    ASSERT_EQ(open.Box().PendingReplies(), before + 3);
}

TEST(WarriorLeftovers, RepliesAnEarlierUserLeftUnreadShiftNeitherTheBoxIdNorTheInputs) {
    BoxConfig box = Bench();
    box.boxId = 5;
    OpenBench open{SingleBox(box)};
    LeaveUnreadReplies(open);
    ASSERT_TRUE(TCHiIobWarrior::EnumerateDevices(open.bench));
    EXPECT_EQ(TCHiIobWarrior::GetIOBoxIds(), (std::vector<std::int32_t>{5}));

    LeaveUnreadReplies(open);
    TCHiIobWarrior warrior{open.handle, open.bench, open.clock};
    warrior.Configure({{5, 1}}, {{1, 1}}, {{3, 1}, {5, 2}, {10, 1}}, {}, {}, {1}, {}, 1.0);
    warrior.ResetInputs();
    open.Box().DriveInput(10, 1, false);
    ASSERT_TRUE(warrior.ReadInputs(false));
    EXPECT_FALSE(warrior.GetInputBit(10, 1));
    EXPECT_TRUE(warrior.GetInputBit(5, 2));
    open.Box().DriveInput(10, 1, true);
    ASSERT_TRUE(warrior.ReadInputs(true));
    EXPECT_TRUE(warrior.GetInputBit(10, 1));
    EXPECT_TRUE(warrior.GetInputBit(5, 2));
    warrior.SetOutput(5, 1, true, 0);
    warrior.WriteOutputs(true, false);
    EXPECT_TRUE(open.Box().OutputLevel(5, 1));
    EXPECT_EQ(open.Box().PendingReplies(), 0u);
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

TEST_F(WarriorOnSimulatorTest, UnpluggedBoxFailsTheReadPass) {
    zentrix::sim::FaultConfig faults;
    faults.unplugAfterReports = 1;
    open.Box().SetFaults(faults);
    EXPECT_FALSE(warrior.ReadInputs(false));
}

}  // namespace
