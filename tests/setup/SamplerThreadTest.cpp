// The sampler thread against the host's thread: start and stop protocol, and host calls that
// hammer the controller while passes run (meant for the thread sanitizer).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "iobox/IOBox.h"
#include "model/Catalog.h"
#include "model/Device.h"
#include "setup/Controller.h"
#include "setup/HardwareSetup.h"
#include "simulator/SimulatedBench.h"
#include "support/TempDir.h"

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
        box.inputs = {InputSource{3, 1, PulseTrain{50, 10, 0}}};
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
    for (; calls < 20000 && std::chrono::steady_clock::now() < deadline; ++calls) {
        setup.SendCommand(1, calls % 2 == 0 ? 1 : 0);
        tagTECKavexIdtHiValue record{};
        setup.ReceiveSignal(2, 0, record);
        if (record.m_eType == eKavexIdtHiVtLongLong) {
            presses += record.m_lValueLongLong;
        }
        setup.ReceiveSignal(1, 0, record);
        setup.IsIODeviceConnected(0);
    }
    // Starting again while running changes nothing.
    setup.StartSampler();
    setup.StopSampler();
    EXPECT_FALSE(setup.GetController().IsSampling());
    EXPECT_GT(calls, 0);
    EXPECT_GE(presses, 0);
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
    owned->StartSampler();
    owned.reset();
    EXPECT_FALSE(ownBench.Box(0).SpiEnabled());
    EXPECT_TRUE(ownBench.ProtocolErrors().empty());
}

}  // namespace
