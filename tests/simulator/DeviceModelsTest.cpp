#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "simulator/InputLines.h"
#include "simulator/Lickometer.h"
#include "simulator/PelletDispenser.h"

namespace {

using zentrix::sim::InputEdgeCounts;
using zentrix::sim::InputLines;
using zentrix::sim::Lickometer;
using zentrix::sim::LickometerReports;
using zentrix::sim::LickSource;
using zentrix::sim::PelletDispenser;

constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

// One lick every 10 ms (the first at 10 ms), each 20 ms long: two 10 ms units of lick time.
TEST(LickometerModel, AShortSelectKeepsTheOldCountsAndLosesNoLicksForTheNextLatch) {
    Lickometer lickometer;
    lickometer.SetSource(LickSource{3, 100.0, 20});

    lickometer.SelectFell(0);
    lickometer.SelectRose(10);
    EXPECT_EQ(lickometer.ShortSelectMs(), std::nullopt);
    EXPECT_EQ(lickometer.ShiftOut(), (Lickometer::Answer{2, 0, 1, 0})) << "the lick at 10 ms";

    lickometer.SelectFell(100);
    lickometer.SelectRose(104);
    EXPECT_EQ(lickometer.ShortSelectMs(), 4u);
    EXPECT_EQ(lickometer.ShiftOut(), (Lickometer::Answer{2, 0, 1, 0}))
        << "4 ms is too short to latch: the previous counts again";

    lickometer.SelectFell(200);
    lickometer.SelectRose(205);
    EXPECT_EQ(lickometer.ShortSelectMs(), std::nullopt);
    EXPECT_EQ(lickometer.ShiftOut(), (Lickometer::Answer{38, 0, 19, 0}))
        << "5 ms latches the licks at 20..200 ms, counted from the last latch at 10 ms";

    EXPECT_EQ(lickometer.Reported(), (LickometerReports{21, 420}));
}

// Licks from 1000 ms on, one every 10 ms, three in all.
TEST(LickometerModel, ASourceWithAStartAndACountLicksOnlyInItsWindow) {
    Lickometer lickometer;
    lickometer.SetSource(LickSource{3, 100.0, 20, 1000, 3});
    lickometer.SelectFell(990);
    lickometer.SelectRose(1005);
    EXPECT_EQ(lickometer.ShiftOut(), (Lickometer::Answer{0, 0, 0, 0})) << "none before 1010 ms";
    lickometer.SelectFell(1015);
    lickometer.SelectRose(1020);
    EXPECT_EQ(lickometer.ShiftOut(), (Lickometer::Answer{4, 0, 2, 0})) << "1010 and 1020 ms";
    lickometer.SelectFell(5000);
    lickometer.SelectRose(9000);
    EXPECT_EQ(lickometer.ShiftOut(), (Lickometer::Answer{2, 0, 1, 0})) << "the third, then none";
    EXPECT_EQ(lickometer.Reported(), (LickometerReports{3, 60}));
}

TEST(PulseTrainModel, ATrainWithAStartAndACountPulsesOnlyInItsWindowAndThenNeverAgain) {
    zentrix::sim::PulseTrainSource train(0, zentrix::sim::PulseTrain{100, 30, 0, 5000, 2});
    std::vector<std::pair<std::uint64_t, bool>> steps;
    while (train.Next().timeMs != kNever && steps.size() < 10) {
        const auto step = train.Advance();
        steps.emplace_back(step.timeMs, step.level);
    }
    EXPECT_EQ(steps, (std::vector<std::pair<std::uint64_t, bool>>{
                         {5100, false}, {5130, true}, {5200, false}, {5230, true}}));
}

TEST(LickometerModel, WithoutSourceItLatchesZeroCounts) {
    Lickometer lickometer;
    lickometer.SelectFell(1000);
    lickometer.SelectRose(1005);
    EXPECT_EQ(lickometer.ShiftOut(), (Lickometer::Answer{0, 0, 0, 0}));
    EXPECT_EQ(lickometer.Reported(), (LickometerReports{}));
}

TEST(PelletDispenserModel, TriggersWhileADropIsPendingOrUnderWayOrderDropsThatFollowIt) {
    PelletDispenser dispenser(5);
    EXPECT_EQ(dispenser.NextEventMs(), kNever);

    dispenser.TriggerRose(100);
    ASSERT_EQ(dispenser.NextEventMs(), 120u);
    dispenser.TriggerRose(110);
    EXPECT_EQ(dispenser.NextEventMs(), 120u) << "a trigger during the 20 ms wait waits its turn";

    const auto dropStart = dispenser.ProcessEvent();
    EXPECT_EQ(dropStart.timeMs, 120u);
    EXPECT_TRUE(dropStart.level);
    EXPECT_EQ(dispenser.Dropped(), 1u);
    dispenser.TriggerRose(150);
    ASSERT_EQ(dispenser.NextEventMs(), 180u) << "a trigger during the drop pulse waits its turn";

    // Each ordered drop follows the end of the one before it by the usual 20 ms.
    const auto dropEnd = dispenser.ProcessEvent();
    EXPECT_EQ(dropEnd.timeMs, 180u);
    EXPECT_FALSE(dropEnd.level);
    for (const std::uint64_t startMs : {200u, 280u}) {
        ASSERT_EQ(dispenser.NextEventMs(), startMs);
        const auto nextStart = dispenser.ProcessEvent();
        EXPECT_EQ(nextStart.timeMs, startMs);
        EXPECT_TRUE(nextStart.level);
        const auto nextEnd = dispenser.ProcessEvent();
        EXPECT_EQ(nextEnd.timeMs, startMs + 60);
        EXPECT_FALSE(nextEnd.level);
    }
    EXPECT_EQ(dispenser.Dropped(), 3u);
    EXPECT_EQ(dispenser.NextEventMs(), kNever);

    dispenser.TriggerRose(400);
    EXPECT_EQ(dispenser.NextEventMs(), 420u) << "idle again: a trigger drops at once";
    dispenser.ProcessEvent();
    EXPECT_EQ(dispenser.Dropped(), 4u);
}

// Each call's result decides whether the box latches an interrupt and logs a change, so a level
// that does not change must not report one.
TEST(InputLinesModel, AHandDrivenLineReportsOnlyRealChangesAndReturnsToItsSourceOnRelease) {
    InputLines lines(2);
    lines.SetInitialSource(1, false);
    lines.PowerUp();
    EXPECT_EQ(lines.Levels(), 0b01u);

    EXPECT_FALSE(lines.Drive(0, true)) << "already high";
    EXPECT_TRUE(lines.Drive(0, false));
    EXPECT_FALSE(lines.SetSourceLevel(0, false));
    EXPECT_FALSE(lines.SetSourceLevel(0, true)) << "the source moves under the hand-driven level";
    EXPECT_TRUE(lines.Release(0)) << "back to the source, which is high by now";
    EXPECT_EQ(lines.Edges(0), (InputEdgeCounts{1, 1}));

    lines.NoteSampled(0);
    EXPECT_EQ(lines.SampledEdges(0), (InputEdgeCounts{})) << "reads saw high before and after";
    EXPECT_EQ(lines.SampledEdges(1), (InputEdgeCounts{})) << "low from power-up is no edge";
}

}  // namespace
