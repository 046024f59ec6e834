// Waits measured from a known point: the work done since that point is not waited for twice, and
// the wait still counts whole as a mandatory one.
#include <gtest/gtest.h>

#include <sys/prctl.h>

#include <chrono>
#include <thread>

#include "platform/Clock.h"
#include "platform/ThreadTiming.h"

namespace {

TEST(ClockDeadlines, TheSystemClockSleepsUntilTheWaitEndsCountedFromItsStart) {
    zentrix::SystemClock& clock = zentrix::SystemClock::Instance();
    const std::uint64_t requestedBefore = zentrix::RequestedSleepUsOfThisThread();
    const auto began = std::chrono::steady_clock::now();
    const std::uint64_t startUs = clock.NowUs();
    // Work that takes 10 ms of the 20 ms wait that follows the start.
    clock.SleepMs(10);
    clock.SleepMsFrom(startUs, 20);
    const auto elapsed = std::chrono::steady_clock::now() - began;
    EXPECT_GE(elapsed, std::chrono::milliseconds(20));
    // Waiting the whole 20 ms after the work would take 30.
    EXPECT_LT(elapsed, std::chrono::milliseconds(29));
    EXPECT_EQ(zentrix::RequestedSleepUsOfThisThread() - requestedBefore, 30000u);
}

TEST(ClockDeadlines, VirtualTimeWaitsTheWholeLengthAndCountsIt) {
    zentrix::VirtualClock clock(100);
    const std::uint64_t requestedBefore = zentrix::RequestedSleepUsOfThisThread();
    clock.SleepMsFrom(clock.NowUs(), 2);
    EXPECT_EQ(clock.NowMs(), 102u);
    EXPECT_EQ(zentrix::RequestedSleepUsOfThisThread() - requestedBefore, 2000u);
}

TEST(ClockDeadlines, WaitsInMicrosecondsAreKeptWhereTheClockCanAndRoundedUpWhereNot) {
    const std::uint64_t requestedBefore = zentrix::RequestedSleepUsOfThisThread();
    zentrix::SystemClock& system = zentrix::SystemClock::Instance();
    const std::uint64_t startUs = system.NowUs();
    system.SleepUs(300);
    EXPECT_GE(system.NowUs() - startUs, 300u);
    EXPECT_EQ(zentrix::RequestedSleepUsOfThisThread() - requestedBefore, 300u);

    zentrix::VirtualClock virtualClock(100);
    virtualClock.SleepUs(0);
    EXPECT_EQ(virtualClock.NowMs(), 100u);
    virtualClock.SleepUs(1);
    EXPECT_EQ(virtualClock.NowMs(), 101u);
    virtualClock.SleepUs(1500);
    EXPECT_EQ(virtualClock.NowMs(), 103u);
    EXPECT_EQ(zentrix::RequestedSleepUsOfThisThread() - requestedBefore, 300u + 3000u);
}

TEST(ThreadTiming, ATimelyThreadHasTheLeastTimerSlack) {
    long slack = 0;
    zentrix::ThreadTiming timing;
    std::thread thread([&] {
        timing = zentrix::MakeThisThreadTimely();
        slack = prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
    });
    thread.join();
    EXPECT_TRUE(timing.leastTimerSlack);
    // A real-time thread, when the process may have one, has no slack at all.
    EXPECT_LE(slack, 1);
    // The calling thread keeps its own.
    EXPECT_NE(prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL), 1);
}

}  // namespace
