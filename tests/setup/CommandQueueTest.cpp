// The host's commands on their way to the boxes when they come faster than the boxes take them
// (sampling stopped, a box stalled in a transfer) and when memory runs out while they are queued or
// handed over to an output pass.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "iobox/Warrior.h"
#include "model/Catalog.h"
#include "model/Device.h"
#include "sampling/SamplingMode.h"
#include "setup/Controller.h"
#include "setup/HardwareSetup.h"
#include "simulator/SimulatedBench.h"
#include "support/Allocations.h"
#include "support/LogFile.h"
#include "support/SetupQueries.h"
#include "support/TempDir.h"
#include "support/WatchingLibrary.h"

namespace {

using zentrix::sim::BenchConfig;
using zentrix::sim::BoxConfig;
using zentrix::sim::TtlDevice;
using zentrix::testing::AllocationFailedOnThisThread;
using zentrix::testing::AllocationsAreHooked;
using zentrix::testing::FailingAllocation;
using zentrix::testing::WatchingLibrary;

constexpr std::int32_t kOutput1High = 1;
constexpr std::int32_t kOutput1Low = 0;
constexpr std::int32_t kDropPellet = 0;
constexpr std::int32_t kUnknownCommand = 42;
// Custom hardware on TTL 7 of box 0 and of box 1, a pellet dispenser on TTL 5 of box 0.
constexpr std::int32_t kCustom0 = 1;
constexpr std::int32_t kCustom1 = 2;
constexpr std::int32_t kDispenser = 3;
constexpr std::size_t kBound = TCHiIobController::kMaxPendingCommands;

BenchConfig TwoBoxes() {
    BenchConfig config;
    for (int id = 0; id < 2; ++id) {
        BoxConfig box;
        box.boxId = id;
        if (id == 0) {
            box.ttlDevices = {{5, TtlDevice::PelletDispenser}};
        }
        config.boxes.push_back(box);
    }
    return config;
}

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

bool Sanitized() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

class CommandQueueTest : public ::testing::Test {
protected:
    CommandQueueTest() : setup(std::make_unique<TCHiIobHardwareSetup>(library, clock)) {
        setup->ChangeDevices([this] {
            Add(0, 7, eDeviceTypeCustomHardware, kCustom0);
            Add(1, 7, eDeviceTypeCustomHardware, kCustom1);
            Add(0, 5, eDeviceTypePelletDispenser, kDispenser);
        });
    }

    void Add(std::int32_t box, std::int32_t port, std::int32_t type, std::int32_t id) {
        ASSERT_TRUE(
            setup->AddDevice(box, port,
                             std::make_unique<TCHiIobDevice>(
                                 setup.get(), "device " + std::to_string(id), type, -1, id)));
    }

    void RunFor(std::uint32_t milliseconds) {
        zentrix::testing::RunPeriods(*setup, clock, milliseconds);
    }

    void ExpectNoProtocolErrors() {
        for (const auto& error : bench.ProtocolErrors()) {
            ADD_FAILURE() << error.timeMs << " ms: " << error.text;
        }
    }

    zentrix::testing::TempRegistry registry{""};
    zentrix::VirtualClock clock;
    zentrix::sim::SimulatedBench bench{TwoBoxes(), clock};
    WatchingLibrary library{bench};
    std::unique_ptr<TCHiIobHardwareSetup> setup;
};

TEST_F(CommandQueueTest, WhileStoppedABoxQueuesUpToTheBoundAndLogsEachRunOfRefusalsOnce) {
    const zentrix::testing::LogFile log("info");
    for (std::size_t i = 0; i < kBound; ++i) {
        ASSERT_TRUE(setup->SendCommand(kCustom0, i % 2 == 0 ? kOutput1High : kOutput1Low)) << i;
    }
    EXPECT_FALSE(setup->SendCommand(kCustom0, kOutput1High));
    EXPECT_FALSE(setup->SendCommand(kDispenser, kDropPellet)) << "the bound is the box's";
    EXPECT_TRUE(setup->SendCommand(kCustom1, kOutput1High)) << "another box has room";

    // Refused commands cost no memory.
    const long before = ResidentKiB();
    for (int i = 0; i < 1000000; ++i) {
        ASSERT_FALSE(setup->SendCommand(kCustom0, kOutput1High));
    }
    if (!Sanitized()) {
        EXPECT_LT(ResidentKiB() - before, 512) << "KiB of resident memory";
    }
    EXPECT_EQ(log.Lines({"zentrix: warning: controller: IO box 0 holds 65536 commands"}).size(), 1u)
        << log.Text();

    // Starting drops what the stopped box held, so it queues again, and says so once.
    setup->StartSampler();
    EXPECT_TRUE(setup->SendCommand(kCustom0, kOutput1High));
    EXPECT_EQ(log.Lines({"zentrix: info: controller: IO box 0 queues commands again after 1000002 "
                         "refused"})
                  .size(),
              1u)
        << log.Text();
    ASSERT_TRUE(setup->StopSampler());
    EXPECT_FALSE(bench.Box(0).OutputLevel(7, 1)) << "the default at stop";

    // A second run of refusals is logged again.
    std::size_t queued = 0;
    while (setup->SendCommand(kCustom0, kOutput1High)) {
        ASSERT_LE(++queued, kBound);
    }
    EXPECT_EQ(log.Lines({"zentrix: warning: controller: IO box 0 holds 65536 commands"}).size(),
              2u);
    ExpectNoProtocolErrors();
}

TEST_F(CommandQueueTest, AStalledBoxRefusesPastTheBoundAndCarriesOutWhatItHeldOnceItMoves) {
    // One thread for both boxes, so that holding any of its transfers stalls box 0.
    setup->SetSamplingMode(zentrix::SamplingMode::Serial);
    setup->StartSampler();
    library.HoldNextTransfer(std::this_thread::get_id());
    library.WaitUntilHeld();
    for (std::size_t i = 0; i < kBound; ++i) {
        ASSERT_TRUE(setup->SendCommand(kCustom0, i % 2 == 0 ? kOutput1Low : kOutput1High)) << i;
    }
    EXPECT_FALSE(setup->SendCommand(kCustom0, kOutput1Low));
    library.Release();
    // Once the box has taken its commands it queues again; the last one held leaves the line high.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!setup->SendCommand(kCustom0, kUnknownCommand)) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    while (!bench.Box(0).OutputLevel(7, 1)) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(setup->StopSampler());
    ExpectNoProtocolErrors();
}

TEST_F(CommandQueueTest, PulsesBeyondWhatALineHoldsWaitQueuedWithoutHoldingUpOtherDevices) {
    setup->BeginSampling();
    constexpr std::uint32_t kDrops = 100;
    static_assert(kDrops > TCHiIobWarrior::kMaxWaitingPulses + 1);
    for (std::uint32_t i = 0; i < kDrops; ++i) {
        ASSERT_TRUE(setup->SendCommand(kDispenser, kDropPellet));
    }
    ASSERT_TRUE(setup->SendCommand(kCustom0, kOutput1High));
    RunFor(10);
    EXPECT_TRUE(bench.Box(0).OutputLevel(7, 1)) << "carried out in the first pass";
    ASSERT_TRUE(setup->SendCommand(kCustom0, kOutput1Low));
    RunFor(10);
    EXPECT_FALSE(bench.Box(0).OutputLevel(7, 1));
    // Each drop takes the dispenser 80 ms, so the last of them comes some 8 s later.
    RunFor(kDrops * 80 + 1000);
    EXPECT_EQ(bench.Box(0).PelletsDropped(5), kDrops);
    setup->EndSampling();
    ExpectNoProtocolErrors();
}

TEST_F(CommandQueueTest, ASendCommandThatRunsOutOfMemoryIsRefusedAndThrowsNothing) {
    if (!AllocationsAreHooked()) {
        GTEST_SKIP() << "allocations fail on purpose only in builds without sanitizers";
    }
    setup->BeginSampling();
    {
        const FailingAllocation failing(1);
        bool accepted = true;
        EXPECT_NO_THROW(accepted = setup->SendCommand(kCustom0, kOutput1High));
        EXPECT_TRUE(AllocationFailedOnThisThread());
        EXPECT_FALSE(accepted);
    }
    RunFor(20);
    EXPECT_FALSE(bench.Box(0).OutputLevel(7, 1)) << "nothing was queued";
    ASSERT_TRUE(setup->SendCommand(kCustom0, kOutput1High));
    RunFor(20);
    EXPECT_TRUE(bench.Box(0).OutputLevel(7, 1));
    setup->EndSampling();
    ExpectNoProtocolErrors();
}

// Every allocation of an output pass fails in turn: whatever the pass could not do, the next
// passes do, and every command is carried out once, each device's in order.
TEST_F(CommandQueueTest, NoCommandIsLostWhenMemoryRunsOutAnywhereInAnOutputPass) {
    if (!AllocationsAreHooked()) {
        GTEST_SKIP() << "allocations fail on purpose only in builds without sanitizers";
    }
    setup->BeginSampling();
    RunFor(20);
    bool failed = true;
    std::size_t allocation = 1;
    for (; failed; ++allocation) {
        ASSERT_LT(allocation, 10000u);
        const bool high = allocation % 2 == 1;
        const std::int32_t last = high ? kOutput1High : kOutput1Low;
        const std::int32_t first = high ? kOutput1Low : kOutput1High;
        const std::uint32_t dropsBefore = bench.Box(0).PelletsDropped(5);
        ASSERT_TRUE(setup->SendCommand(kCustom0, first));
        ASSERT_TRUE(setup->SendCommand(kDispenser, kDropPellet));
        ASSERT_TRUE(setup->SendCommand(kCustom1, first));
        ASSERT_TRUE(setup->SendCommand(kCustom0, last));
        ASSERT_TRUE(setup->SendCommand(kDispenser, kDropPellet));
        ASSERT_TRUE(setup->SendCommand(kCustom1, last));
        {
            const FailingAllocation failing(allocation);
            try {
                setup->SampleOutputs(true);
            } catch (const std::bad_alloc&) {
            }
            failed = AllocationFailedOnThisThread();
        }
        RunFor(300);
        EXPECT_EQ(bench.Box(0).OutputLevel(7, 1), high) << "allocation " << allocation;
        EXPECT_EQ(bench.Box(1).OutputLevel(7, 1), high) << "allocation " << allocation;
        EXPECT_EQ(bench.Box(0).PelletsDropped(5) - dropsBefore, 2u) << "allocation " << allocation;
    }
    EXPECT_GT(allocation, 3u) << "the pass allocates";
    setup->EndSampling();
    ExpectNoProtocolErrors();
}

}  // namespace
