#include <gtest/gtest.h>

#include "BenchFixture.h"

namespace {

using zentrix::sim::BoxConfig;
using zentrix::sim::ConstantLevel;
using zentrix::sim::InputSource;
using zentrix::sim::PulseTrain;
using zentrix::sim::testing::OpenBench;
using zentrix::sim::testing::SingleBox;

constexpr std::uint8_t kGroup0Line = 0x20;
constexpr std::uint8_t kGroup1Line = 0x40;
constexpr std::uint8_t kGroup2Line = 0x80;

BoxConfig WithInputs(std::vector<InputSource> inputs) {
    BoxConfig box;
    box.inputs = std::move(inputs);
    return box;
}

TEST(InterruptLatches, APulseBetweenTwoPollsLatchesItsGroupUntilTheRearmPulse) {
    OpenBench open(SingleBox(WithInputs({InputSource{6, 2, PulseTrain{200, 20, 0}}})));
    auto& box = open.Box();
    open.ConfigureIoBox();
    EXPECT_EQ(open.reports.ReadPort(1), 0xFF);

    open.AdvanceTo(210);
    EXPECT_FALSE(box.InputLevel(6, 2));
    EXPECT_EQ(open.reports.ReadIoBoxRegister(0xCC), 0xF7) << "pin 15 is TTL port 6 line 2";

    open.AdvanceTo(250);
    EXPECT_TRUE(box.InputLevel(6, 2));
    EXPECT_EQ(open.reports.ReadPort(1), 0xFF & ~kGroup1Line)
        << "the pulse is over, the latch stays";
    EXPECT_TRUE(box.InterruptLatched(1));
    EXPECT_FALSE(box.InterruptLatched(0));
    EXPECT_FALSE(box.InterruptLatched(2));

    open.reports.Rearm();
    EXPECT_EQ(open.reports.ReadPort(1), 0xFF);
    EXPECT_FALSE(box.InterruptLatched(1));

    open.AdvanceTo(1000);
    EXPECT_EQ(open.reports.ReadPort(1), 0xFF & ~kGroup1Line);
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

TEST(InterruptLatches, EachGroupOfFourTtlPortsHasItsOwnLine) {
    OpenBench open(SingleBox());
    auto& box = open.Box();
    box.DriveInput(1, 1, false);
    EXPECT_EQ(open.reports.ReadPort(1), 0xFF & ~kGroup0Line);
    box.DriveInput(12, 2, false);
    EXPECT_EQ(open.reports.ReadPort(1), 0xFF & ~(kGroup0Line | kGroup2Line));
    open.reports.Rearm();
    box.DriveInput(4, 2, false);
    box.DriveInput(9, 1, false);
    EXPECT_EQ(open.reports.ReadPort(1), 0xFF & ~(kGroup0Line | kGroup2Line));
    open.reports.Rearm();
    box.DriveInput(5, 1, false);
    box.DriveInput(5, 1, false);
    EXPECT_EQ(open.reports.ReadPort(1), 0xFF & ~kGroup1Line) << "driving the same level again";
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

TEST(InterruptLatches, ChangesWhileTheRearmLineIsLowAreNotLatched) {
    OpenBench open(SingleBox());
    open.reports.SetRearmLevel(false);
    open.Box().DriveInput(2, 1, false);
    EXPECT_EQ(open.reports.ReadPort(1), 0xFF & ~0x10) << "bit 4 reads back the re-arm level";
    open.reports.SetRearmLevel(true);
    EXPECT_EQ(open.reports.ReadPort(1), 0xFF);
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

TEST(InputSources, ConstantLevelsAndHandDrivenLevelsHoldWithoutLatching) {
    OpenBench open(SingleBox(WithInputs(
        {InputSource{4, 2, ConstantLevel{0}}, InputSource{4, 1, PulseTrain{100, 10, 0}}})));
    auto& box = open.Box();
    open.ConfigureIoBox();
    EXPECT_FALSE(box.InputLevel(4, 2));
    EXPECT_EQ(open.reports.ReadIoBoxRegister(0xC4) & 0xC0, 0x40) << "pin 11 low, pin 10 high";
    EXPECT_EQ(open.reports.ReadPort(1), 0xFF);

    box.DriveInput(4, 1, true);
    open.AdvanceTo(105);
    EXPECT_TRUE(box.InputLevel(4, 1)) << "a hand-driven level overrides the pulse train";
    box.ReleaseInput(4, 1);
    EXPECT_FALSE(box.InputLevel(4, 1)) << "released inside a pulse";
    open.AdvanceTo(110);
    EXPECT_TRUE(box.InputLevel(4, 1));
    EXPECT_THROW(box.InputLevel(13, 1), std::out_of_range);
    EXPECT_THROW(box.DriveInput(1, 3, true), std::out_of_range);
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

TEST(InputSources, BouncingEdgesToggleEveryMillisecondBeforeSettling) {
    OpenBench open(SingleBox(WithInputs({InputSource{2, 1, PulseTrain{500, 100, 3}}})));
    auto& box = open.Box();
    const auto levelAt = [&](std::uint64_t ms) {
        open.AdvanceTo(ms);
        return box.InputLevel(2, 1);
    };
    EXPECT_TRUE(levelAt(499));
    EXPECT_FALSE(levelAt(500));
    EXPECT_TRUE(levelAt(501));
    EXPECT_FALSE(levelAt(502));
    EXPECT_FALSE(levelAt(503));
    EXPECT_FALSE(levelAt(599));
    EXPECT_TRUE(levelAt(600));
    EXPECT_FALSE(levelAt(601));
    EXPECT_TRUE(levelAt(602));
    EXPECT_TRUE(levelAt(603));
    EXPECT_FALSE(levelAt(1000));
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

TEST(InputEdges, CountEveryFallAndRiseOfALineWhateverDrivesIt) {
    OpenBench open(SingleBox(WithInputs(
        {InputSource{6, 2, PulseTrain{200, 20, 0}}, InputSource{2, 1, ConstantLevel{0}}})));
    auto& box = open.Box();
    EXPECT_EQ(box.InputEdges(6, 2), (zentrix::sim::InputEdgeCounts{0, 0}));
    EXPECT_EQ(box.InputEdges(2, 1), (zentrix::sim::InputEdgeCounts{0, 0}))
        << "a line that starts low has made no edge";

    open.AdvanceTo(210);
    EXPECT_EQ(box.InputEdges(6, 2), (zentrix::sim::InputEdgeCounts{1, 0}));
    open.AdvanceTo(1010);
    EXPECT_EQ(box.InputEdges(6, 2), (zentrix::sim::InputEdgeCounts{5, 4}));

    box.DriveInput(2, 1, true);
    box.DriveInput(2, 1, true);
    box.DriveInput(2, 1, false);
    box.ReleaseInput(2, 1);
    EXPECT_EQ(box.InputEdges(2, 1), (zentrix::sim::InputEdgeCounts{1, 1}))
        << "driving the level a line already has, or releasing it to that level, is no edge";
    EXPECT_EQ(box.InputEdges(1, 1), (zentrix::sim::InputEdgeCounts{0, 0}));
    EXPECT_THROW(box.InputEdges(13, 1), std::out_of_range);
    EXPECT_THROW(box.InputEdges(1, 3), std::out_of_range);
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

}  // namespace

namespace {

TEST(InputSources, AQuietLineFinishesItsLowPhaseAndResumesOnlyWithAFullOne) {
    // Low for 100 ms from every multiple of 1000 ms.
    OpenBench open(SingleBox(WithInputs({InputSource{3, 1, PulseTrain{1000, 100, 0}}})));
    auto& box = open.Box();

    open.AdvanceTo(1050);
    ASSERT_FALSE(box.InputLevel(3, 1));
    box.QuietInput(3, 1, true);
    open.AdvanceTo(1099);
    EXPECT_FALSE(box.InputLevel(3, 1)) << "the low phase under way is not cut short";
    open.AdvanceTo(1100);
    EXPECT_TRUE(box.InputLevel(3, 1));
    open.AdvanceTo(2050);
    EXPECT_TRUE(box.InputLevel(3, 1)) << "no low phase begins while quiet";

    box.QuietInput(3, 1, false);
    open.AdvanceTo(2099);
    EXPECT_TRUE(box.InputLevel(3, 1)) << "resuming inside a low phase starts no short one";
    open.AdvanceTo(3000);
    EXPECT_FALSE(box.InputLevel(3, 1));
    open.AdvanceTo(3100);
    EXPECT_TRUE(box.InputLevel(3, 1));
    EXPECT_EQ(box.InputEdges(3, 1).falls, 2U);
    EXPECT_EQ(box.InputEdges(3, 1).rises, 2U);
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

}  // namespace

namespace {

TEST(InputSources, SampledEdgesFollowOnlyTheLevelsThatReadsReturned) {
    // TTL port 6 line 2 is pin 15: register 0x4C, or single-pin register 0x2F.
    OpenBench open(SingleBox(WithInputs({InputSource{6, 2, PulseTrain{200, 20, 0}}})));
    auto& box = open.Box();
    open.ConfigureIoBox();

    open.AdvanceTo(230);
    open.reports.ReadIoBoxRegister(0xCC);
    EXPECT_EQ(box.InputEdges(6, 2).falls, 1U);
    EXPECT_EQ(box.SampledEdges(6, 2).falls, 0U) << "the first pulse fell between two reads";

    open.AdvanceTo(410);
    open.reports.ReadIoBoxRegister(0xAF);
    open.AdvanceTo(430);
    open.reports.ReadIoBoxRegister(0xCC);
    open.reports.ReadIoBoxRegister(0xC4);
    EXPECT_EQ(box.SampledEdges(6, 2).falls, 1U);
    EXPECT_EQ(box.SampledEdges(6, 2).rises, 1U);
    EXPECT_EQ(box.InputEdges(6, 2).falls, 2U);
    EXPECT_EQ(box.SampledEdges(1, 1).falls, 0U) << "a line that never moved";
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

}  // namespace
