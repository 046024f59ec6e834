#include <gtest/gtest.h>

#include <thread>

#include "platform/Clock.h"
#include "sampling/PeriodRecorder.h"
#include "sampling/SamplingMode.h"

namespace {

using zentrix::PeriodMeter;
using zentrix::PeriodRecorder;
using zentrix::SamplingPeriod;

TEST(PeriodRecorder, APeriodsFloorIsWhatItsThreadAskedToSleep) {
    zentrix::VirtualClock clock;
    const PeriodMeter meter;
    clock.SleepMs(2);
    clock.SleepMs(1);
    // Another thread's sleeps are not this period's.
    std::thread([&clock] { clock.SleepMs(50); }).join();
    const SamplingPeriod period = meter.Finish(3);
    EXPECT_EQ(period.lane, 3U);
    EXPECT_EQ(period.floorUs, 3000U);
}

TEST(PeriodRecorder, KeepsNothingUntilEnabledAndNoMoreThanItsCapacity) {
    PeriodRecorder recorder;
    recorder.Record({.lane = 1});
    EXPECT_TRUE(recorder.Take().empty());

    recorder.Enable(2);
    recorder.Record({.lane = 1});
    recorder.Record({.lane = 2});
    recorder.Record({.lane = 3});
    const auto periods = recorder.Take();
    ASSERT_EQ(periods.size(), 2U);
    EXPECT_EQ(periods[0].lane, 1U);
    EXPECT_EQ(periods[1].lane, 2U);
    EXPECT_EQ(recorder.DroppedCount(), 1U);

    recorder.Record({.lane = 4});
    ASSERT_EQ(recorder.Take().size(), 1U);
    recorder.Disable();
    recorder.Record({.lane = 5});
    EXPECT_TRUE(recorder.Take().empty());
}

TEST(SamplingMode, NamesRoundTripAndAnythingElseIsRefused) {
    for (const auto mode : {zentrix::SamplingMode::Serial, zentrix::SamplingMode::Concurrent}) {
        EXPECT_EQ(zentrix::ParseSamplingMode(zentrix::SamplingModeName(mode)), mode);
    }
    EXPECT_FALSE(zentrix::ParseSamplingMode("Serial").has_value());
    EXPECT_FALSE(zentrix::ParseSamplingMode("").has_value());
}

}  // namespace
