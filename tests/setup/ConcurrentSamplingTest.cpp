// Concurrent sampling: one thread per IO-Warrior controller, so that a box that is slow to answer
// delays no other box, boxes that share a controller share its thread, and stopping joins them all.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "iobox/IOBox.h"
#include "model/Catalog.h"
#include "model/Device.h"
#include "setup/Controller.h"
#include "setup/HardwareSetup.h"
#include "simulator/SimulatedBench.h"
#include "support/ForwardingLibrary.h"
#include "support/TempDir.h"
#include "support/WatchingLibrary.h"

namespace {

using zentrix::SamplingMode;
using zentrix::sim::BenchConfig;
using zentrix::sim::BoxConfig;

constexpr std::int32_t kOutput1Low = 0;
constexpr std::int32_t kOutput1High = 1;
constexpr int kCustomPort = 7;

// Forwards to the simulator and records which threads call each controller; the calls of one
// controller can be held until the test releases them, as a box that stopped answering would.
class ControllerWatch final : public zentrix::testing::ForwardingLibrary {
public:
    using ForwardingLibrary::ForwardingLibrary;

    void HoldController(zentrix::IowHandle handle) {
        const std::lock_guard lock(m_mutex);
        m_held = handle;
        m_holding = false;
    }
    void WaitUntilHeld() {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_holding; });
    }
    void Release() {
        {
            const std::lock_guard lock(m_mutex);
            m_held = nullptr;
        }
        m_changed.notify_all();
    }
    bool IsHolding() {
        const std::lock_guard lock(m_mutex);
        return m_holding;
    }
    std::uint64_t Transfers(zentrix::IowHandle handle) {
        const std::lock_guard lock(m_mutex);
        return m_transfers[handle];
    }
    // The threads, by tag, that called each controller.
    std::map<zentrix::IowHandle, std::set<int>> Threads() {
        const std::lock_guard lock(m_mutex);
        return m_threads;
    }
    // Calls made by the given thread since the watch began.
    int CallsBy(int threadTag) {
        const std::lock_guard lock(m_mutex);
        return m_callsByThread[threadTag];
    }

    std::uint32_t Write(zentrix::IowHandle handle, std::uint32_t pipe, const std::uint8_t* buffer,
                        std::uint32_t length) override {
        Enter(handle);
        return ForwardingLibrary::Write(handle, pipe, buffer, length);
    }
    std::uint32_t Read(zentrix::IowHandle handle, std::uint32_t pipe, std::uint8_t* buffer,
                       std::uint32_t length) override {
        Enter(handle);
        return ForwardingLibrary::Read(handle, pipe, buffer, length);
    }

private:
    void Enter(zentrix::IowHandle handle) {
        std::unique_lock lock(m_mutex);
        ++m_transfers[handle];
        m_threads[handle].insert(zentrix::testing::ThreadTag());
        ++m_callsByThread[zentrix::testing::ThreadTag()];
        if (handle != nullptr && handle == m_held) {
            m_holding = true;
            m_changed.notify_all();
            m_changed.wait(lock, [&] { return m_held != handle; });
            m_holding = false;
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    zentrix::IowHandle m_held = nullptr;
    bool m_holding = false;
    std::map<zentrix::IowHandle, std::uint64_t> m_transfers;
    std::map<zentrix::IowHandle, std::set<int>> m_threads;
    std::map<int, int> m_callsByThread;
};

BenchConfig BoxesWithIds(const std::vector<int>& ids) {
    BenchConfig config;
    for (const int id : ids) {
        BoxConfig box;
        box.boxId = id;
        // A moving input makes every box that listens to the controller read it.
        box.inputs = {zentrix::sim::InputSource{3, 1, zentrix::sim::PulseTrain{20, 10, 0}}};
        config.boxes.push_back(box);
    }
    return config;
}

// Waits on real time for a condition that sampling threads on virtual time reach quickly.
template <class Condition>
bool Eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class ConcurrentSampling : public ::testing::Test {
protected:
    explicit ConcurrentSampling(const std::vector<int>& ids = {1, 2, 3})
        : bench(BoxesWithIds(ids), clock), watch(bench), setup(watch, clock) {
        setup.SetSamplingMode(SamplingMode::Concurrent);
        // One custom hardware device on each distinct box id, device id = box id.
        const std::vector<std::int32_t> listed = setup.ListIOBoxIds();
        const std::set<std::int32_t> distinct(listed.begin(), listed.end());
        setup.ChangeDevices([&] {
            for (const std::int32_t id : distinct) {
                ASSERT_TRUE(
                    setup.AddDevice(id, kCustomPort,
                                    std::make_unique<TCHiIobDevice>(
                                        &setup, "custom", eDeviceTypeCustomHardware, -1, id)));
            }
        });
    }
    ~ConcurrentSampling() override {
        watch.Release();
        setup.StopSampler();
        for (const auto& error : bench.ProtocolErrors()) {
            ADD_FAILURE() << error.timeMs << " ms, box " << error.boxId << ": " << error.text;
        }
    }

    zentrix::IowHandle HandleOf(int boxIndex) {
        return static_cast<zentrix::IowHandle>(&bench.Box(static_cast<std::size_t>(boxIndex)));
    }

    zentrix::testing::TempRegistry registry{""};
    zentrix::VirtualClock clock;
    zentrix::sim::SimulatedBench bench;
    ControllerWatch watch;
    TCHiIobHardwareSetup setup;
};

TEST_F(ConcurrentSampling, ABoxThatStopsAnsweringDelaysNoOtherBox) {
    setup.StartSampler();
    watch.HoldController(HandleOf(0));
    watch.WaitUntilHeld();

    // The other boxes go on sampling and carry out their commands while box 1 hangs.
    const std::uint64_t before = watch.Transfers(HandleOf(2));
    ASSERT_TRUE(setup.SendCommand(3, kOutput1High));
    EXPECT_TRUE(Eventually([&] { return bench.Box(2).OutputLevel(kCustomPort, 1); }));
    EXPECT_TRUE(Eventually([&] { return watch.Transfers(HandleOf(2)) > before + 100; }));
    EXPECT_TRUE(watch.IsHolding());
    watch.Release();
}

TEST_F(ConcurrentSampling, EachControllerIsSampledByAThreadOfItsOwn) {
    setup.GetController().GetPeriodRecorder().Enable(100000);
    // Configuring the boxes made transfers of its own, on the host's thread.
    const std::uint64_t before[] = {watch.Transfers(HandleOf(0)), watch.Transfers(HandleOf(1)),
                                    watch.Transfers(HandleOf(2))};
    setup.StartSampler();
    ASSERT_TRUE(Eventually([&] {
        return watch.Transfers(HandleOf(0)) > before[0] + 200 &&
               watch.Transfers(HandleOf(1)) > before[1] + 200 &&
               watch.Transfers(HandleOf(2)) > before[2] + 200;
    }));
    EXPECT_EQ(setup.GetController().GetSamplingThreadCount(), 3u);
    setup.StopSampler();
    const int host = zentrix::testing::ThreadTag();
    std::set<int> samplers;
    auto threadsByController = watch.Threads();
    for (int box = 0; box < 3; ++box) {
        std::set<int> threads = threadsByController[HandleOf(box)];
        threads.erase(host);
        ASSERT_EQ(threads.size(), 1u) << "box " << box;
        samplers.insert(*threads.begin());
    }
    EXPECT_EQ(samplers.size(), 3u);
    // Each thread records its periods under its own lane, in box order. With the protocol's waits
    // each period asks at least for the gap between periods; lean periods are paced on the clock,
    // which the other threads move on meanwhile.
    const bool spec = setup.FindIOBox(1)->GetTiming() == zentrix::Timing::Spec;
    std::set<std::uint32_t> lanes;
    for (const auto& period : setup.GetController().GetPeriodRecorder().Take()) {
        lanes.insert(period.lane);
        if (spec) {
            EXPECT_GE(period.floorUs, 2000u);
        }
    }
    EXPECT_EQ(lanes, (std::set<std::uint32_t>{0, 1, 2}));
}

TEST_F(ConcurrentSampling, TheSerialModeSamplesEveryBoxOnOneThreadFromTheNextStart) {
    setup.SetSamplingMode(SamplingMode::Serial);
    EXPECT_EQ(setup.GetSamplingMode(), SamplingMode::Serial);
    setup.StartSampler();
    ASSERT_TRUE(Eventually([&] { return watch.Transfers(HandleOf(2)) > 200; }));
    // A change while running waits for the next start.
    setup.SetSamplingMode(SamplingMode::Concurrent);
    ASSERT_TRUE(Eventually([&] { return watch.Transfers(HandleOf(2)) > 400; }));
    EXPECT_EQ(setup.GetController().GetSamplingThreadCount(), 1u);
    setup.StopSampler();
    EXPECT_EQ(setup.GetController().GetSamplingThreadCount(), 0u);
    const int host = zentrix::testing::ThreadTag();
    std::set<int> samplers;
    auto threads = watch.Threads();
    for (int box = 0; box < 3; ++box) {
        for (const int thread : threads[HandleOf(box)]) {
            if (thread != host) {
                samplers.insert(thread);
            }
        }
    }
    EXPECT_EQ(samplers.size(), 1u);
}

TEST(SamplingModeChoice, WithoutAModeSetTheEnvironmentDecidesAtEachStart) {
    zentrix::testing::TempRegistry registry{""};
    zentrix::VirtualClock clock;
    zentrix::sim::SimulatedBench bench(BoxesWithIds({1, 2, 3}), clock);
    TCHiIobHardwareSetup setup(bench, clock);
    const char* previous = std::getenv("ZENTRIX_SAMPLING");
    const std::string saved = previous != nullptr ? previous : "";
    setenv("ZENTRIX_SAMPLING", "serial", 1);
    setup.StartSampler();
    EXPECT_EQ(setup.GetController().GetSamplingThreadCount(), 1u);
    ASSERT_TRUE(setup.StopSampler());
    setenv("ZENTRIX_SAMPLING", "concurrent", 1);
    setup.StartSampler();
    EXPECT_EQ(setup.GetController().GetSamplingThreadCount(), 3u);
    ASSERT_TRUE(setup.StopSampler());
    EXPECT_TRUE(bench.ProtocolErrors().empty());
    if (previous != nullptr) {
        setenv("ZENTRIX_SAMPLING", saved.c_str(), 1);
    } else {
        unsetenv("ZENTRIX_SAMPLING");
    }
}

TEST_F(ConcurrentSampling, StopJoinsEveryThreadBeforeFinishingOnTheHostsThread) {
    setup.StartSampler();
    // The middle box's thread hangs in a transfer; stopping must wait for it too.
    watch.HoldController(HandleOf(1));
    watch.WaitUntilHeld();
    ASSERT_TRUE(setup.SendCommand(2, kOutput1High));
    std::atomic<bool> stopped{false};
    std::atomic<int> stopperTag{0};
    std::thread stopper([&] {
        stopperTag = zentrix::testing::ThreadTag();
        setup.StopSampler();
        stopped = true;
    });
    ASSERT_TRUE(Eventually([&] { return stopperTag.load() != 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(stopped.load());
    // Nothing of the end of sampling ran while a sampling thread was still in its pass.
    EXPECT_EQ(watch.CallsBy(stopperTag.load()), 0);
    watch.Release();
    stopper.join();
    EXPECT_TRUE(stopped.load());
    EXPECT_GT(watch.CallsBy(stopperTag.load()), 0);
    EXPECT_FALSE(setup.GetController().IsSampling());
    // The end of sampling brought the commanded line back to its default.
    EXPECT_FALSE(bench.Box(1).OutputLevel(kCustomPort, 1));
}

class SharedControllerSampling : public ConcurrentSampling {
protected:
    // The first two controllers report the same id, so the first serves both boxes of that id.
    SharedControllerSampling() : ConcurrentSampling({4, 4, 6}) {}
};

TEST_F(SharedControllerSampling, BoxesThatShareAControllerShareItsThread) {
    const std::uint64_t sharedBefore = watch.Transfers(HandleOf(0));
    const std::uint64_t ownBefore = watch.Transfers(HandleOf(2));
    setup.StartSampler();
    EXPECT_EQ(setup.GetController().GetSamplingThreadCount(), 2u);
    // Both threads must have sampled before the stop, however the machine schedules them.
    ASSERT_TRUE(Eventually([&] {
        return watch.Transfers(HandleOf(0)) > sharedBefore + 200 &&
               watch.Transfers(HandleOf(2)) > ownBefore + 200;
    }));
    setup.StopSampler();
    const int host = zentrix::testing::ThreadTag();
    auto threads = watch.Threads();
    std::set<int> shared = threads[HandleOf(0)];
    std::set<int> own = threads[HandleOf(2)];
    shared.erase(host);
    own.erase(host);
    EXPECT_EQ(shared.size(), 1u);
    EXPECT_EQ(own.size(), 1u);
    EXPECT_NE(shared, own);
    // The second controller with that id is only asked for its id, on the host's thread.
    std::set<int> unused = threads[HandleOf(1)];
    unused.erase(host);
    EXPECT_TRUE(unused.empty());
}

TEST(ControllerQueues, CommandsToOneBoxKeepTheirOrderWhateverOtherBoxesGet) {
    zentrix::testing::TempRegistry registry{""};
    zentrix::VirtualClock clock;
    zentrix::sim::SimulatedBench bench(BoxesWithIds({1, 2}), clock);
    TCHiIobHardwareSetup setup(bench, clock);
    TCHiIobController& controller = setup.GetController();
    TCHiIobIOBox* first = setup.FindIOBox(1);
    TCHiIobIOBox* second = setup.FindIOBox(2);
    controller.QueueCommand(first, 10, 1);
    controller.QueueCommand(second, 20, 1);
    controller.QueueCommand(first, 10, 0);
    controller.QueueCommand(second, 20, 0);
    controller.QueueCommand(first, 11, 1);
    std::vector<std::pair<std::int32_t, std::int32_t>> taken;
    controller.TakeCommands(second, taken);
    EXPECT_EQ(taken, (std::vector<std::pair<std::int32_t, std::int32_t>>{{20, 1}, {20, 0}}));
    // Taking one box's commands leaves the other's queued, in their order.
    controller.QueueCommand(first, 12, 1);
    controller.TakeCommands(first, taken);
    EXPECT_EQ(taken, (std::vector<std::pair<std::int32_t, std::int32_t>>{
                         {10, 1}, {10, 0}, {11, 1}, {12, 1}}));
    controller.TakeCommands(first, taken);
    EXPECT_TRUE(taken.empty());
    EXPECT_TRUE(bench.ProtocolErrors().empty());
}

}  // namespace
