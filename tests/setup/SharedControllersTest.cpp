// Several hardware setups in one process: they share one opening of the IO-Warrior library, a
// controller serves only the first live setup, and releasing one setup leaves the others alone.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "iobox/IOBox.h"
#include "model/Catalog.h"
#include "model/Device.h"
#include "platform/IoWarriorBackend.h"
#include "setup/Controller.h"
#include "setup/HardwareSetup.h"
#include "simulator/SimulatedBench.h"
#include "support/RecordingLibrary.h"
#include "support/TempDir.h"
#include "support/WatchingLibrary.h"

namespace {

using zentrix::sim::BenchConfig;
using zentrix::sim::BoxConfig;
using zentrix::testing::WatchingLibrary;

constexpr std::int32_t kOutput1High = 1;
constexpr std::int32_t kOutput1Low = 0;

BenchConfig OneBox() {
    BenchConfig config;
    config.boxes.push_back(BoxConfig{});
    return config;
}

class SharedControllersTest : public ::testing::Test {
protected:
    std::unique_ptr<TCHiIobHardwareSetup> MakeSetup() {
        return std::make_unique<TCHiIobHardwareSetup>(library, clock);
    }

    static void AddCustomHardware(TCHiIobHardwareSetup& setup, std::int32_t port, std::int32_t id) {
        setup.ChangeDevices([&] {
            ASSERT_TRUE(setup.AddDevice(0, port,
                                        std::make_unique<TCHiIobDevice>(
                                            &setup, "custom", eDeviceTypeCustomHardware, -1, id)));
        });
    }

    void RunPasses(TCHiIobHardwareSetup& setup, int periods) {
        for (int i = 0; i < periods; ++i) {
            setup.SampleInputs(true);
            setup.SampleOutputs(true);
            clock.SleepMs(2);
        }
    }

    void ExpectNoProtocolErrors() {
        for (const auto& error : bench.ProtocolErrors()) {
            ADD_FAILURE() << error.timeMs << " ms: " << error.text;
        }
    }

    zentrix::testing::TempRegistry registry{""};
    zentrix::VirtualClock clock;
    zentrix::sim::SimulatedBench bench{OneBox(), clock};
    WatchingLibrary library{bench};
};

TEST_F(SharedControllersTest, ReleasingTheLaterSetupLeavesTheFirstOnesBoxSampling) {
    auto first = MakeSetup();
    AddCustomHardware(*first, 7, 1);
    auto second = MakeSetup();
    EXPECT_TRUE(first->IsIODeviceConnected(0));
    // The controller stays with the first setup; the second lists the box, unconnected.
    EXPECT_EQ(second->ListIOBoxIds(), (std::vector<std::int32_t>{0}));
    EXPECT_FALSE(second->IsIODeviceConnected(0));

    second.reset();
    EXPECT_EQ(library.closes.load(), 0);
    EXPECT_TRUE(bench.IsOpen());

    first->BeginSampling();
    ASSERT_TRUE(first->SendCommand(1, kOutput1High));
    RunPasses(*first, 5);
    EXPECT_TRUE(first->IsIODeviceConnected(0));
    EXPECT_TRUE(bench.Box(0).OutputLevel(7, 1));
    ASSERT_TRUE(first->SendCommand(1, kOutput1Low));
    RunPasses(*first, 5);
    EXPECT_FALSE(bench.Box(0).OutputLevel(7, 1));
    first->EndSampling();

    first.reset();
    EXPECT_EQ(library.opens.load(), 1);
    EXPECT_EQ(library.closes.load(), 1);
    EXPECT_FALSE(bench.IsOpen());
    EXPECT_EQ(library.Overlaps(), 0);
    ExpectNoProtocolErrors();
}

TEST_F(SharedControllersTest, ReleasingTheFirstSetupClosesOnlyWithTheLast) {
    auto first = MakeSetup();
    auto second = MakeSetup();
    first.reset();
    EXPECT_EQ(library.closes.load(), 0);
    // The controller is not handed on: boxes are bound when a setup is created.
    EXPECT_FALSE(second->IsIODeviceConnected(0));
    second.reset();
    EXPECT_EQ(library.closes.load(), 1);

    // A new setup opens the library again and gets the controller.
    auto third = MakeSetup();
    EXPECT_EQ(library.opens.load(), 2);
    EXPECT_TRUE(third->IsIODeviceConnected(0));
    third.reset();
    EXPECT_EQ(library.closes.load(), 2);
    ExpectNoProtocolErrors();
}

TEST_F(SharedControllersTest, TwoSetupsSamplingOneControllerDoNotInterleave) {
    auto first = MakeSetup();
    AddCustomHardware(*first, 7, 1);
    auto second = MakeSetup();
    AddCustomHardware(*second, 8, 1);
    first->StartSampler();
    second->StartSampler();
    ASSERT_TRUE(first->SendCommand(1, kOutput1High));
    ASSERT_TRUE(second->SendCommand(1, kOutput1High));
    // Let the sampler threads make many report exchanges.
    const auto exchanges = [this] {
        int count = 0;
        for (const auto& [thread, transfers] : library.TransfersByThread()) {
            count += thread == zentrix::testing::ThreadTag() ? 0 : transfers;
        }
        return count;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((exchanges() < 500 || !bench.Box(0).OutputLevel(7, 1)) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(bench.Box(0).OutputLevel(7, 1));
    // The second setup's box has no controller: its command reaches nothing.
    EXPECT_FALSE(bench.Box(0).OutputLevel(8, 1));
    EXPECT_TRUE(first->IsIODeviceConnected(0));
    EXPECT_FALSE(second->IsIODeviceConnected(0));
    second->StopSampler();
    first->StopSampler();
    EXPECT_EQ(library.Overlaps(), 0);
    ExpectNoProtocolErrors();
}

TEST(SharedControllers, EachLibraryObjectIsOpenedAndClosedOnItsOwn) {
    zentrix::testing::TempRegistry registry("");
    zentrix::VirtualClock clock;
    zentrix::testing::RecordingLibrary one(clock);
    zentrix::testing::RecordingLibrary other(clock);
    auto onOne = std::make_unique<TCHiIobHardwareSetup>(one, clock);
    std::make_unique<TCHiIobHardwareSetup>(one, clock).reset();
    EXPECT_EQ(one.closeCount, 0);
    {
        const TCHiIobHardwareSetup onOther(other, clock);
        EXPECT_TRUE(onOther.IsIODeviceConnected(onOther.ListIOBoxIds().at(0)));
    }
    EXPECT_EQ(other.closeCount, 1);
    EXPECT_EQ(one.closeCount, 0);
    EXPECT_TRUE(onOne->IsIODeviceConnected(onOne->ListIOBoxIds().at(0)));
    onOne.reset();
    EXPECT_EQ(one.closeCount, 1);
}

}  // namespace
