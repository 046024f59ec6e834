#include <gtest/gtest.h>

#include <memory>

#include "iobox/IOBox.h"
#include "platform/IoWarriorBackend.h"
#include "setup/Controller.h"
#include "setup/HardwareSetup.h"
#include "support/Allocations.h"
#include "support/TempDir.h"

namespace {

class ControllerTest : public ::testing::Test {
protected:
    TCHiIobIOBox* Box() { return setup.FindIOBox(-1); }

    static std::shared_ptr<const TCHiIobBoxValues> Values(std::int32_t device, std::int32_t signal,
                                                          std::int64_t value) {
        auto values = std::make_shared<TCHiIobBoxValues>();
        values->layout = std::make_shared<const TCHiIobValueLayout>(
            std::vector<std::pair<std::int32_t, std::int32_t>>{{device, signal}});
        values->values.emplace_back(value);
        return values;
    }

    zentrix::testing::TempRegistry registry{""};
    zentrix::VirtualClock clock;
    zentrix::NullIoWarriorLibrary library;
    TCHiIobHardwareSetup setup{library, clock};
    TCHiIobController& controller = setup.GetController();
};

TEST_F(ControllerTest, CommandsAreTakenWholeInTheOrderSent) {
    controller.QueueCommand(Box(), 1, 10);
    controller.QueueCommand(Box(), 2, 20);
    controller.QueueCommand(Box(), 1, 11);
    TCHiIobCommandQueue taken;
    controller.TakeCommands(taken);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[Box()],
              (std::vector<std::pair<std::int32_t, std::int32_t>>{{1, 10}, {2, 20}, {1, 11}}));
    controller.TakeCommands(taken);
    EXPECT_TRUE(taken.empty());
}

TEST_F(ControllerTest, CommandsStayQueuedInOrderWhenMemoryRunsOutWhileTheyAreTaken) {
    if (!zentrix::testing::AllocationsAreHooked()) {
        GTEST_SKIP() << "allocations fail on purpose only in builds without sanitizers";
    }
    using Commands = std::vector<std::pair<std::int32_t, std::int32_t>>;
    bool failed = true;
    for (std::size_t allocation = 1; failed; ++allocation) {
        ASSERT_LT(allocation, 100u);
        controller.QueueCommand(Box(), 1, 10);
        controller.QueueCommand(Box(), 2, 20);
        controller.QueueCommand(Box(), 1, 11);
        TCHiIobCommandQueue taken;
        Commands single;
        {
            const zentrix::testing::FailingAllocation failing(allocation);
            EXPECT_NO_THROW(controller.TakeCommands(taken));
            failed = zentrix::testing::AllocationFailedOnThisThread();
        }
        {
            const zentrix::testing::FailingAllocation failing(allocation);
            EXPECT_NO_THROW(controller.TakeCommands(Box(), single));
            failed = failed || zentrix::testing::AllocationFailedOnThisThread();
        }
        Commands all = taken.count(Box()) != 0 ? taken[Box()] : Commands{};
        all.insert(all.end(), single.begin(), single.end());
        controller.QueueCommand(Box(), 3, 30);
        controller.TakeCommands(Box(), single);
        all.insert(all.end(), single.begin(), single.end());
        EXPECT_EQ(all, (Commands{{1, 10}, {2, 20}, {1, 11}, {3, 30}})) << allocation;
    }
}

TEST_F(ControllerTest, ValuesAreReadFromTheLastPublication) {
    TCHiIobValue value(2.5);
    controller.GetValue(Box(), 1, 1, value);
    EXPECT_EQ(value.GetDouble(), 2.5);  // nothing stored: untouched

    controller.PublishValues(Box(), Values(1, 1, 7));
    controller.GetValue(Box(), 1, 1, value);
    EXPECT_EQ(value.GetLongLong(), 7);
    TCHiIobValue other;
    controller.GetValue(Box(), 1, 2, other);
    EXPECT_EQ(other.GetType(), eKavexIdtHiVtUndefined);
    EXPECT_EQ(controller.CopyValues(Box())->values[0].GetLongLong(), 7);

    // A host holding an old snapshot keeps it while a new one is published.
    const auto held = controller.CopyValues(Box());
    controller.PublishValues(Box(), Values(1, 1, 8));
    EXPECT_EQ(held->values[0].GetLongLong(), 7);
    controller.GetValue(Box(), 1, 1, value);
    EXPECT_EQ(value.GetLongLong(), 8);
}

TEST_F(ControllerTest, StartingEmptiesBothMapsAndStoppingFinishesTheQueue) {
    controller.QueueCommand(Box(), 1, 10);
    controller.PublishValues(Box(), Values(1, 1, 7));
    controller.StartSampler();
    EXPECT_TRUE(controller.IsSampling());
    // Begin of sampling already took the commands and published this box's (empty) values.
    TCHiIobValue value;
    controller.GetValue(Box(), 1, 1, value);
    EXPECT_EQ(value.GetType(), eKavexIdtHiVtUndefined);

    controller.QueueCommand(Box(), 1, 11);
    controller.StopSampler();
    EXPECT_FALSE(controller.IsSampling());
    // The end of sampling carried out what was still queued, so nothing is left for a later pass.
    TCHiIobCommandQueue left;
    controller.TakeCommands(left);
    EXPECT_TRUE(left.empty());
    // Stopping again is harmless.
    controller.StopSampler();
    EXPECT_FALSE(controller.IsSampling());
}

TEST(ValueLayout, FindsSortedUniqueKeys) {
    const TCHiIobValueLayout layout({{3, 1}, {1, 9}, {3, 0}, {1, 9}});
    EXPECT_EQ(layout.GetSize(), 3u);
    EXPECT_EQ(layout.IndexOf(1, 9), 0);
    EXPECT_EQ(layout.IndexOf(3, 0), 1);
    EXPECT_EQ(layout.IndexOf(3, 1), 2);
    EXPECT_EQ(layout.IndexOf(2, 0), -1);
}

}  // namespace
