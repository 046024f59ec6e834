// The sampler when things fail: a join cut short by an interruption or a deadline, an output pass
// that throws after taking the commands, and a library and clock that throw while the setup shuts
// down.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/thread/thread.hpp>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

#include "iobox/IOBox.h"
#include "model/Catalog.h"
#include "model/Device.h"
#include "setup/Controller.h"
#include "setup/HardwareSetup.h"
#include "simulator/SimulatedBench.h"
#include "support/LogFile.h"
#include "support/TempDir.h"
#include "support/WatchingLibrary.h"

namespace {

using zentrix::sim::BenchConfig;
using zentrix::sim::BoxConfig;
using zentrix::testing::ThrowingClock;
using zentrix::testing::WatchingLibrary;

constexpr std::int32_t kOutput1High = 1;
constexpr std::int32_t kOutput1Low = 0;

BenchConfig Boxes(int count) {
    BenchConfig config;
    for (int id = 0; id < count; ++id) {
        BoxConfig box;
        box.boxId = id;
        config.boxes.push_back(box);
    }
    return config;
}

void AddCustomHardware(TCHiIobHardwareSetup& setup, std::int32_t boxId, std::int32_t deviceId) {
    setup.ChangeDevices([&] {
        ASSERT_TRUE(
            setup.AddDevice(boxId, 7,
                            std::make_unique<TCHiIobDevice>(
                                &setup, "custom", eDeviceTypeCustomHardware, -1, deviceId)));
    });
}

void ExpectNoProtocolErrors(zentrix::sim::SimulatedBench& bench) {
    for (const auto& error : bench.ProtocolErrors()) {
        ADD_FAILURE() << error.timeMs << " ms: " << error.text;
    }
}

class InterruptedStopTest : public ::testing::Test {
protected:
    InterruptedStopTest() : setup(std::make_unique<TCHiIobHardwareSetup>(library, clock)) {
        AddCustomHardware(*setup, 0, 1);
    }

    // Starts sampling and holds the sampler thread inside one report exchange of its pass.
    void StartAndHoldAPass() {
        setup->StartSampler();
        ASSERT_TRUE(setup->SendCommand(1, kOutput1High));
        library.HoldNextTransfer(std::this_thread::get_id());
        library.WaitUntilHeld();
    }

    zentrix::testing::TempRegistry registry{""};
    zentrix::VirtualClock clock;
    zentrix::sim::SimulatedBench bench{Boxes(1), clock};
    WatchingLibrary library{bench};
    std::unique_ptr<TCHiIobHardwareSetup> setup;
};

TEST_F(InterruptedStopTest, AStopWhoseJoinIsInterruptedLeavesThePassAloneAndIsFinishedLater) {
    StartAndHoldAPass();
    // An interruption of the stopping thread makes the join throw.
    boost::thread stopper([this] { setup->StopSampler(); });
    stopper.interrupt();
    stopper.join();
    // Nothing of the end of sampling ran beside the pass still held.
    EXPECT_EQ(library.CallsWhileHeld(), 0);

    library.Release();
    setup->StopSampler();
    EXPECT_FALSE(setup->GetController().IsSampling());
    // The end of sampling did run now: the command's line is back at its default level.
    EXPECT_FALSE(bench.Box(0).OutputLevel(7, 1));
    EXPECT_EQ(library.Overlaps(), 0);
    ExpectNoProtocolErrors(bench);
}

TEST_F(InterruptedStopTest, AFailedStopReportsItAndAStartFinishesItFirst) {
    StartAndHoldAPass();
    bool stopped = true;
    boost::thread stopper([this, &stopped] { stopped = setup->StopSampler(); });
    stopper.interrupt();
    stopper.join();
    EXPECT_FALSE(stopped);
    EXPECT_FALSE(setup->GetController().IsSampling());
    EXPECT_EQ(library.CallsWhileHeld(), 0);
    library.Release();

    setup->StartSampler();
    EXPECT_TRUE(setup->GetController().IsSampling());
    EXPECT_TRUE(setup->StopSampler());
    EXPECT_EQ(library.Overlaps(), 0);
    ExpectNoProtocolErrors(bench);
}

TEST_F(InterruptedStopTest, AStopWithADeadlineGivesUpOnAHeldPassAndIsFinishedLater) {
    StartAndHoldAPass();
    // The pass cannot end before the deadline: the stop gives up and finishes nothing.
    EXPECT_FALSE(
        setup->StopSampler(std::chrono::steady_clock::now() + std::chrono::milliseconds(50)));
    EXPECT_FALSE(setup->GetController().IsSampling());
    EXPECT_EQ(setup->GetController().GetSamplingThreadCount(), 1u);
    EXPECT_EQ(library.CallsWhileHeld(), 0);

    library.Release();
    EXPECT_TRUE(setup->StopSampler(std::chrono::steady_clock::now() + std::chrono::seconds(60)));
    EXPECT_EQ(setup->GetController().GetSamplingThreadCount(), 0u);
    // The end of sampling did run now: the command's line is back at its default level.
    EXPECT_FALSE(bench.Box(0).OutputLevel(7, 1));
    // A stop with nothing running has nothing to wait for.
    EXPECT_TRUE(setup->StopSampler(std::chrono::steady_clock::now()));
    EXPECT_EQ(library.Overlaps(), 0);
    ExpectNoProtocolErrors(bench);
}

TEST_F(InterruptedStopTest, DestroyingTheSetupWaitsForThePassEvenWhenInterrupted) {
    StartAndHoldAPass();
    std::promise<void> destroyed;
    boost::thread destroyer([this, &destroyed] {
        setup.reset();
        destroyed.set_value();
    });
    destroyer.interrupt();
    // The setup cannot be gone while its sampler thread is held inside a pass.
    EXPECT_EQ(destroyed.get_future().wait_for(std::chrono::milliseconds(200)),
              std::future_status::timeout);
    EXPECT_EQ(library.CallsWhileHeld(), 0);
    library.Release();
    destroyer.join();
    EXPECT_FALSE(bench.Box(0).SpiEnabled());
    EXPECT_EQ(library.Overlaps(), 0);
    ExpectNoProtocolErrors(bench);
}

TEST(SamplerFailures, CommandsOfAFailedOutputPassAreCarriedOutByTheNextInOrder) {
    zentrix::testing::TempRegistry registry("");
    zentrix::VirtualClock clock;
    zentrix::sim::SimulatedBench bench(Boxes(2), clock);
    ThrowingClock throwing(clock);
    TCHiIobHardwareSetup setup(bench, throwing);
    AddCustomHardware(setup, 0, 1);
    AddCustomHardware(setup, 1, 2);
    setup.BeginSampling();

    // The first box's write throws; the other box's command must not be lost.
    ASSERT_TRUE(setup.SendCommand(1, kOutput1High));
    ASSERT_TRUE(setup.SendCommand(2, kOutput1High));
    throwing.throwingSleeps = 1;
    EXPECT_ANY_THROW(setup.SampleOutputs(true));
    setup.SampleOutputs(true);
    EXPECT_TRUE(bench.Box(0).OutputLevel(7, 1));
    EXPECT_TRUE(bench.Box(1).OutputLevel(7, 1));

    // Commands put back go before those sent after the failure.
    ASSERT_TRUE(setup.SendCommand(1, kOutput1Low));
    ASSERT_TRUE(setup.SendCommand(2, kOutput1Low));
    throwing.throwingSleeps = 1;
    EXPECT_ANY_THROW(setup.SampleOutputs(true));
    ASSERT_TRUE(setup.SendCommand(1, kOutput1High));
    ASSERT_TRUE(setup.SendCommand(2, kOutput1High));
    setup.SampleOutputs(true);
    EXPECT_TRUE(bench.Box(0).OutputLevel(7, 1));
    EXPECT_TRUE(bench.Box(1).OutputLevel(7, 1));
    setup.EndSampling();
    ExpectNoProtocolErrors(bench);
}

TEST(SamplerFailures, ALibraryAndClockThatThrowWhileShuttingDownDoNotEndTheProcess) {
    zentrix::testing::TempRegistry registry("");
    zentrix::VirtualClock clock;
    zentrix::sim::SimulatedBench bench(Boxes(1), clock);
    WatchingLibrary library(bench);
    ThrowingClock throwing(clock);
    auto setup = std::make_unique<TCHiIobHardwareSetup>(library, throwing);
    AddCustomHardware(*setup, 0, 1);
    setup->StartSampler();
    library.throwOnClose = true;
    library.throwOnTransfer = true;
    throwing.throwingSleeps = -1;
    setup.reset();
    EXPECT_EQ(library.closes.load(), 1);
}

// Throws from every sleep while failing is set, counting the sleeps it refused.
class FailingClock final : public zentrix::Clock {
public:
    explicit FailingClock(zentrix::Clock& inner) : m_inner(inner) {}

    std::atomic<bool> failing{false};
    std::atomic<int> refused{0};

    std::uint32_t NowMs() override { return m_inner.NowMs(); }
    void SleepMs(std::uint32_t milliseconds) override {
        if (failing.load()) {
            ++refused;
            throw std::runtime_error("clock failed");
        }
        m_inner.SleepMs(milliseconds);
    }

private:
    zentrix::Clock& m_inner;
};

bool WaitFor(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    return condition();
}

TEST(SamplerFailures, TheFirstOfARunOfFailedPassesIsLoggedAndSoIsTheRecovery) {
    zentrix::testing::TempRegistry registry("");
    const zentrix::testing::LogFile log("info");
    zentrix::VirtualClock clock;
    zentrix::sim::SimulatedBench bench(Boxes(1), clock);
    FailingClock failingClock(clock);
    TCHiIobHardwareSetup setup(bench, failingClock);
    AddCustomHardware(setup, 0, 1);
    setup.StartSampler();
    failingClock.failing = true;
    // Every pass and every sleep between passes is refused, so this is several failed passes.
    ASSERT_TRUE(WaitFor([&] { return failingClock.refused.load() >= 10; }));
    failingClock.failing = false;
    ASSERT_TRUE(WaitFor([&] { return !log.Lines({"succeed again"}).empty(); })) << log.Text();
    ASSERT_TRUE(setup.StopSampler());
    EXPECT_EQ(log.Lines({"zentrix: error: sampler: a sampling pass failed: clock failed"}).size(),
              1u)
        << log.Text();
    EXPECT_EQ(log.Lines({"zentrix: info: sampler: sampling passes succeed again after "}).size(),
              1u)
        << log.Text();
    EXPECT_TRUE(log.Lines({"after 1 failed"}).empty()) << log.Text();
    ExpectNoProtocolErrors(bench);
}

}  // namespace
