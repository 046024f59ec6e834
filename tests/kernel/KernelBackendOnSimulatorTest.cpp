// The plug-in on the kernel-driver backend, with device nodes that forward to simulated boxes:
// a box whose nodes hang up mid-sampling is detached and the other box carries on.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "model/Catalog.h"
#include "model/Device.h"
#include "platform/KernelIoWarriorLibrary.h"
#include "setup/HardwareSetup.h"
#include "simulator/SimulatedBench.h"
#include "support/SimulatorDeviceNodes.h"
#include "support/TempDir.h"

namespace {

using zentrix::sim::BenchConfig;
using zentrix::sim::BoxConfig;
using zentrix::sim::InputSource;
using zentrix::sim::PulseTrain;

constexpr std::int32_t kTesterOnFirst = 1;   // box 7, TTL 3
constexpr std::int32_t kTesterOnSecond = 2;  // box 2, TTL 3
constexpr std::int32_t kButton1Presses = 0;
constexpr std::int32_t kOutput1High = 1;

BenchConfig TwoBoxes() {
    BenchConfig config;
    for (const int id : {7, 2}) {
        BoxConfig box;
        box.boxId = id;
        // Presses long enough to be seen with two boxes sharing the passes.
        box.inputs = {InputSource{3, 1, PulseTrain{200, 60, 0}}};
        config.boxes.push_back(box);
    }
    return config;
}

class KernelBackendOnSimulator : public ::testing::Test {
protected:
    KernelBackendOnSimulator() {
        setup->ChangeDevices([this] {
            Add(7, kTesterOnFirst);
            Add(2, kTesterOnSecond);
        });
    }

    void Add(std::int32_t box, std::int32_t id) {
        ASSERT_TRUE(setup->AddDevice(
            box, 3,
            std::make_unique<TCHiIobDevice>(setup.get(), "tester " + std::to_string(id),
                                            eDeviceTypeTtlPortTester, -1, id)));
    }

    void RunFor(std::uint32_t milliseconds) {
        const std::uint32_t start = clock.NowMs();
        while (clock.NowMs() - start < milliseconds) {
            setup->SampleInputs(true);
            setup->SampleOutputs(true);
            clock.SleepMs(2);
        }
    }

    std::int64_t Presses(std::int32_t device) {
        tagTECKavexIdtHiValue record{};
        setup->ReceiveSignal(device, kButton1Presses, record);
        EXPECT_EQ(record.m_eType, eKavexIdtHiVtLongLong);
        return record.m_lValueLongLong;
    }

    zentrix::testing::TempRegistry registry{""};
    zentrix::VirtualClock clock;
    zentrix::sim::SimulatedBench bench{TwoBoxes(), clock};
    zentrix::testing::SimulatorDeviceNodes nodes{bench, clock};
    zentrix::KernelIoWarriorLibrary library{nodes.Directory(), nodes, clock};
    std::unique_ptr<TCHiIobHardwareSetup> setup =
        std::make_unique<TCHiIobHardwareSetup>(library, clock);
};

TEST_F(KernelBackendOnSimulator, ABoxUnpluggedMidSamplingIsDetachedAndTheOtherGoesOn) {
    ASSERT_EQ(setup->ListIOBoxIds(), (std::vector<std::int32_t>{7, 2}));
    setup->BeginSampling();
    RunFor(500);
    EXPECT_GE(Presses(kTesterOnFirst), 2);
    EXPECT_GE(Presses(kTesterOnSecond), 2);

    nodes.Unplug(0);
    RunFor(100);
    EXPECT_FALSE(setup->IsIODeviceConnected(7));
    EXPECT_TRUE(setup->IsIODeviceConnected(2));
    // The unplugged box's nodes are let go.
    EXPECT_EQ(nodes.OpenCount(), 2);

    Presses(kTesterOnSecond);
    RunFor(1000);
    EXPECT_GE(Presses(kTesterOnSecond), 4);
    EXPECT_TRUE(setup->SendCommand(kTesterOnSecond, kOutput1High));
    RunFor(10);
    EXPECT_TRUE(bench.Box(1).OutputLevel(3, 1));
    EXPECT_FALSE(bench.Box(0).OutputLevel(3, 1));
    setup->EndSampling();
    setup.reset();
    EXPECT_EQ(nodes.OpenCount(), 0);
    for (const auto& error : bench.ProtocolErrors()) {
        ADD_FAILURE() << error.timeMs << " ms: " << error.text;
    }
}

}  // namespace
