// The sampler thread against the host's thread: start and stop protocol, and host calls that
// hammer the controller while passes run (meant for the thread sanitizer).
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <thread>

#include "iobox/IOBox.h"
#include "model/Catalog.h"
#include "model/Device.h"
#include "setup/Controller.h"
#include "setup/HardwareSetup.h"
#include "simulator/SimulatedBench.h"
#include "support/TempDir.h"
#include "support/WatchingLibrary.h"

namespace {

using zentrix::sim::BenchConfig;
using zentrix::sim::BoxConfig;
using zentrix::sim::InputSource;
using zentrix::sim::PulseTrain;
using zentrix::sim::SdiBoard;

class SamplerThreadTest : public ::testing::Test {
protected:
    SamplerThreadTest() : bench(Config(), clock), setup(bench, clock) {
        setup.ChangeDevices([this] {
            setup.AddDevice(
                0, 13,
                std::make_unique<TCHiIobDevice>(&setup, "top", eDeviceTypeTopUnitCorvane, 1, 1));
            setup.AddDevice(
                0, 3,
                std::make_unique<TCHiIobDevice>(&setup, "tester", eDeviceTypeTtlPortTester, -1, 2));
        });
    }

    static BenchConfig Config() {
        BoxConfig box;
        box.sdiBoards = {{1, SdiBoard::TopUnitInterface}};
        // Presses long enough for every one to be seen.
        box.inputs = {InputSource{3, 1, PulseTrain{100, 40, 0}}};
        BenchConfig config;
        config.boxes.push_back(box);
        return config;
    }

    zentrix::testing::TempRegistry registry{""};
    zentrix::VirtualClock clock;
    zentrix::sim::SimulatedBench bench;
    TCHiIobHardwareSetup setup;
};

TEST_F(SamplerThreadTest, HostCallsWhileSamplingRuns) {
    setup.StartSampler();
    ASSERT_TRUE(setup.GetController().IsSampling());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    std::int64_t presses = 0;
    int calls = 0;
    // The sampling thread moves the virtual clock by its waits alone, which lean waits keep few:
    // the calls go on until the bench has made some presses.
    const auto pressesMade = [this] { return bench.Box(0).InputEdges(3, 1).falls; };
    for (; (calls < 20000 || pressesMade() < 3) && std::chrono::steady_clock::now() < deadline;
         ++calls) {
        setup.SendCommand(1, calls % 2 == 0 ? 1 : 0);
        tagTECKavexIdtHiValue record{};
        setup.ReceiveSignal(2, 0, record);
        if (record.m_eType == eKavexIdtHiVtLongLong) {
            presses += record.m_lValueLongLong;
        }
        setup.ReceiveSignal(1, 0, record);
        setup.IsIODeviceConnected(0);
    }
    setup.StopSampler();
    EXPECT_FALSE(setup.GetController().IsSampling());
    EXPECT_GT(calls, 0);
    tagTECKavexIdtHiValue last{};
    setup.ReceiveSignal(2, 0, last);
    presses += last.m_lValueLongLong;
    // Every press the bench made was counted, but for one that began after the last input pass.
    const std::int64_t made = bench.Box(0).InputEdges(3, 1).falls;
    EXPECT_GT(presses, 0) << made;
    EXPECT_LE(presses, made) << made;
    EXPECT_GE(presses, made - 1) << made;
    EXPECT_FALSE(bench.Box(0).OutputLevel(13, 1));
    EXPECT_TRUE(bench.ProtocolErrors().empty());
}

TEST_F(SamplerThreadTest, ChangingDevicesWhileSamplingStopsAndRestartsAroundTheChange) {
    setup.StartSampler();
    setup.ChangeDevices([this] { setup.RemoveDevice(2); });
    EXPECT_TRUE(setup.GetController().IsSampling());
    EXPECT_FALSE(setup.SendCommand(2, 0));
    EXPECT_TRUE(setup.SendCommand(1, 1));
    setup.StopSampler();
    EXPECT_TRUE(bench.ProtocolErrors().empty());
}

TEST_F(SamplerThreadTest, DestroyingTheSetupWhileSamplingFinishesSampling) {
    // A bench of its own: the fixture's setup holds the controller of the other.
    zentrix::sim::SimulatedBench ownBench(Config(), clock);
    auto owned = std::make_unique<TCHiIobHardwareSetup>(ownBench, clock);
    ASSERT_TRUE(owned->IsIODeviceConnected(0));
    owned->ChangeDevices([&owned] {
        owned->AddDevice(
            0, 13,
            std::make_unique<TCHiIobDevice>(owned.get(), "top", eDeviceTypeTopUnitCorvane, 1, 1));
    });
    owned->StartSampler();
    ASSERT_TRUE(owned->SendCommand(1, 1));  // White spot on
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!ownBench.Box(0).OutputLevel(13, 1) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(ownBench.Box(0).OutputLevel(13, 1));
    owned.reset();
    // Finishing sampling put the line back to its default before the hardware was switched off.
    EXPECT_FALSE(ownBench.Box(0).OutputLevel(13, 1));
    EXPECT_FALSE(ownBench.Box(0).SpiEnabled());
    EXPECT_TRUE(ownBench.ProtocolErrors().empty());
}

constexpr std::int32_t kTester = 2;
constexpr std::int32_t kButton1Presses = 0;
constexpr std::int32_t kLight1On = 1;

TEST(SamplerRestart, StartingWhileSamplingChangesNothing) {
    zentrix::testing::TempRegistry registry{""};
    zentrix::VirtualClock clock;
    BoxConfig box;
    // Presses long enough for every one to be seen.
    box.inputs = {InputSource{3, 1, PulseTrain{200, 50, 0}}};
    BenchConfig config;
    config.boxes.push_back(box);
    zentrix::sim::SimulatedBench bench(config, clock);
    zentrix::testing::WatchingLibrary library(bench);
    TCHiIobHardwareSetup setup(library, clock);
    setup.ChangeDevices([&setup] {
        setup.AddDevice(0, 3,
                        std::make_unique<TCHiIobDevice>(&setup, "tester", eDeviceTypeTtlPortTester,
                                                        -1, kTester));
    });
    const TCHiIobIOBox* ioBox = setup.FindIOBox(0);
    const auto presses = [&] {
        TCHiIobValue value;
        setup.GetController().GetValue(ioBox, kTester, kButton1Presses, value);
        return value.GetType() == eKavexIdtHiVtLongLong ? value.GetLongLong() : -1;
    };
    const auto samplerThreads = [&library] {
        std::map<int, int> threads = library.TransfersByThread();
        threads.erase(zentrix::testing::ThreadTag());
        return threads;
    };
    const auto waitFor = [](const auto& condition) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!condition() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        return condition();
    };

    setup.StartSampler();
    ASSERT_TRUE(waitFor([&] { return presses() >= 5; }));
    const std::map<int, int> threadsBefore = samplerThreads();
    ASSERT_EQ(threadsBefore.size(), 1u);
    const int ownTransfers = library.TransfersByThread()[zentrix::testing::ThreadTag()];
    ASSERT_TRUE(setup.SendCommand(kTester, kLight1On));
    const std::int64_t pressesBefore = presses();

    setup.StartSampler();

    // No second start of sampling: its passes would have run on this thread, reset the counts
    // and dropped the queued command.
    EXPECT_GE(presses(), pressesBefore);
    EXPECT_EQ(library.TransfersByThread()[zentrix::testing::ThreadTag()], ownTransfers);
    EXPECT_TRUE(setup.GetController().IsSampling());
    EXPECT_TRUE(waitFor([&] { return bench.Box(0).OutputLevel(3, 1); }));
    // The same sampler thread goes on.
    const int samplerTransfers = threadsBefore.begin()->second;
    EXPECT_TRUE(
        waitFor([&] { return samplerThreads()[threadsBefore.begin()->first] > samplerTransfers; }));
    EXPECT_EQ(samplerThreads().size(), 1u);
    setup.StopSampler();
    EXPECT_EQ(library.Overlaps(), 0);
    EXPECT_TRUE(bench.ProtocolErrors().empty());
}

}  // namespace
