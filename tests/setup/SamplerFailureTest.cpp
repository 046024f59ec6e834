// The sampler when things fail: a join cut short by an interruption or a deadline, an output pass
// that throws after taking the commands, a library and clock that throw while the setup shuts down,
// and a box that stops answering while the sampler runs.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/thread/thread.hpp>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "iobox/IOBox.h"
#include "model/Catalog.h"
#include "model/Device.h"
#include "setup/Controller.h"
#include "setup/HardwareSetup.h"
#include "simulator/SimulatedBench.h"
#include "support/ForwardingLibrary.h"
#include "support/LogFile.h"
#include "support/PinnedTiming.h"
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
    // The faults come through the clock's sleeps, which the protocol's waits make in every
    // exchange.
    const zentrix::testing::PinnedTiming timing("spec");
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
    // The faults come through the clock's sleeps, which the protocol's waits make in every
    // exchange.
    const zentrix::testing::PinnedTiming timing("spec");
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

// Passes everything on to the bench, but the first controller can be made to stop answering: its
// special-mode reads then deliver nothing, each after waiting its whole timeout on the virtual
// clock, until the stall has lasted its length. The first read of a stall can be held until the
// test lets it go on.
class StallingLibrary final : public zentrix::testing::ForwardingLibrary {
public:
    StallingLibrary(zentrix::sim::SimulatedBench& bench, zentrix::VirtualClock& clock)
        : ForwardingLibrary(bench), m_bench(bench), m_clock(clock) {}

    static constexpr std::uint32_t kForever = 0xFFFFFFFF;

    void Stall(std::uint32_t lengthMs, bool holdFirstRead) {
        const std::lock_guard lock(m_mutex);
        m_stalling = true;
        m_stallLengthMs = lengthMs;
        m_stallStarted = false;
        m_holdArmed = holdFirstRead;
        m_silentReads = 0;
        m_readsAfter = 0;
        m_readsWithoutWait = 0;
    }
    void WaitUntilHeld() {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_holding; });
    }
    void Release() {
        {
            const std::lock_guard lock(m_mutex);
            m_holding = false;
        }
        m_changed.notify_all();
    }
    // Reads of the stalled controller that waited without an answer, and those after the stall.
    int SilentReads() {
        const std::lock_guard lock(m_mutex);
        return m_silentReads;
    }
    int ReadsAfterTheStall() {
        const std::lock_guard lock(m_mutex);
        return m_readsAfter;
    }
    // Reads of the first controller since the stall began that did not wait: what reads out a
    // reply given up on.
    int ReadsWithoutWait() {
        const std::lock_guard lock(m_mutex);
        return m_readsWithoutWait;
    }

    std::uint32_t Read(zentrix::IowHandle handle, std::uint32_t pipe, std::uint8_t* buffer,
                       std::uint32_t length) override {
        std::unique_lock lock(m_mutex);
        const bool watched =
            handle == m_bench.GetDeviceHandle(1) && pipe == zentrix::kIowPipeSpecialMode;
        if (watched && m_timeouts[handle] == 0) {
            ++m_readsWithoutWait;
        }
        if (watched && m_stalling) {
            const std::uint32_t now = m_clock.NowMs();
            if (!m_stallStarted) {
                m_stallStarted = true;
                m_stallStartMs = now;
            }
            const std::uint32_t stalledMs = now - m_stallStartMs;
            const std::uint32_t timeout = m_timeouts[handle];
            if (m_stallLengthMs == kForever || stalledMs < m_stallLengthMs) {
                const std::uint32_t left =
                    m_stallLengthMs == kForever ? kForever : m_stallLengthMs - stalledMs;
                if (m_holdArmed) {
                    m_holdArmed = false;
                    m_holding = true;
                    m_changed.notify_all();
                    m_changed.wait(lock, [this] { return !m_holding; });
                }
                if (left > timeout) {
                    ++m_silentReads;
                    lock.unlock();
                    m_clock.SleepMs(timeout);
                    return 0;
                }
                // The stall ends within this read's wait: the answer comes then.
                m_clock.SleepMs(left);
            }
            m_stalling = false;
            ++m_readsAfter;
        }
        lock.unlock();
        return ForwardingLibrary::Read(handle, pipe, buffer, length);
    }
    void SetTimeout(zentrix::IowHandle handle, std::uint32_t ms) override {
        {
            const std::lock_guard lock(m_mutex);
            m_timeouts[handle] = ms;
        }
        ForwardingLibrary::SetTimeout(handle, ms);
    }

private:
    zentrix::sim::SimulatedBench& m_bench;
    zentrix::VirtualClock& m_clock;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<zentrix::IowHandle, std::uint32_t> m_timeouts;
    bool m_stalling = false;
    bool m_stallStarted = false;
    std::uint32_t m_stallStartMs = 0;
    std::uint32_t m_stallLengthMs = 0;
    bool m_holdArmed = false;
    bool m_holding = false;
    int m_silentReads = 0;
    int m_readsAfter = 0;
    int m_readsWithoutWait = 0;
};

// One box that stops answering while the sampler runs, in either sampling mode; serial sampling
// also has a second box that keeps answering, on the same thread.
class StalledBoxTest : public ::testing::TestWithParam<zentrix::SamplingMode> {
protected:
    StalledBoxTest()
        : bench(Boxes(Serial() ? 2 : 1), clock),
          library(bench, clock),
          setup(std::make_unique<TCHiIobHardwareSetup>(library, clock)) {
        setup->SetSamplingMode(GetParam());
        AddCustomHardware(*setup, 0, 1);
        if (Serial()) {
            AddCustomHardware(*setup, 1, 2);
        }
    }

    static bool Serial() { return GetParam() == zentrix::SamplingMode::Serial; }

    zentrix::testing::TempRegistry registry{""};
    zentrix::VirtualClock clock;
    zentrix::sim::SimulatedBench bench;
    StallingLibrary library;
    std::unique_ptr<TCHiIobHardwareSetup> setup;
};

TEST_P(StalledBoxTest, StopSamplerGivesUpTheWaitForItWithinASecondAndAHalf) {
    setup->StartSampler();
    // Held inside a read that will never be answered, the sampling thread is in the middle of
    // the timeout ladder when the stop comes.
    library.Stall(StallingLibrary::kForever, true);
    library.WaitUntilHeld();
    const std::uint32_t start = clock.NowMs();
    bool stopped = false;
    std::thread stopper([this, &stopped] { stopped = setup->StopSampler(); });
    ASSERT_TRUE(WaitFor([this] { return !setup->GetController().IsSampling(); }));
    library.Release();
    stopper.join();

    // Only the stalled box's waits and the 2 ms of each exchange take time on this clock.
    EXPECT_TRUE(stopped);
    EXPECT_LE(clock.NowMs() - start, 1500u);
    EXPECT_FALSE(setup->IsIODeviceConnected(0)) << "the box counts as failed";
    EXPECT_EQ(library.SilentReads(), 1);
    if (Serial()) {
        EXPECT_TRUE(setup->IsIODeviceConnected(1));
        EXPECT_FALSE(bench.Box(1).OutputLevel(7, 1));
    }
    // The next stop finds nothing to wait for.
    setup->StartSampler();
    const std::uint32_t restart = clock.NowMs();
    EXPECT_TRUE(setup->StopSampler());
    EXPECT_LE(clock.NowMs() - restart, 1500u);
    ExpectNoProtocolErrors(bench);
}

TEST_P(StalledBoxTest, AnAnswerLateInTheLadderStillCountsWhileSampling) {
    setup->StartSampler();
    // 21 s is within the 22 s of the ladder's four attempts.
    library.Stall(21000, false);
    ASSERT_TRUE(WaitFor([this] { return library.ReadsAfterTheStall() > 0; }));
    ASSERT_TRUE(setup->SendCommand(1, kOutput1High));
    ASSERT_TRUE(WaitFor([this] { return bench.Box(0).OutputLevel(7, 1); }));
    EXPECT_TRUE(setup->StopSampler());
    EXPECT_TRUE(setup->IsIODeviceConnected(0));
    EXPECT_EQ(library.ReadsWithoutWait(), 0) << "a read was given up on";
    EXPECT_FALSE(bench.Box(0).OutputLevel(7, 1));
    ExpectNoProtocolErrors(bench);
}

INSTANTIATE_TEST_SUITE_P(Sampling, StalledBoxTest,
                         ::testing::Values(zentrix::SamplingMode::Serial,
                                           zentrix::SamplingMode::Concurrent),
                         [](const ::testing::TestParamInfo<zentrix::SamplingMode>& param) {
                             return std::string(zentrix::SamplingModeName(param.param));
                         });

}  // namespace
