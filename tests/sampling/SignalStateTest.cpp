#include <gtest/gtest.h>

#include "sampling/SignalState.h"

namespace {

TEST(SignalState, FirstSampleComparesWithTheIdleLevel) {
    TCHiIobSignalState idleHigh(1);
    idleHigh.Update(0);
    EXPECT_EQ(idleHigh.GetFallingCount(), 1u);
    EXPECT_EQ(idleHigh.GetRisingCount(), 0u);

    TCHiIobSignalState idleLow(0);
    idleLow.Update(0);
    EXPECT_EQ(idleLow.GetFallingCount(), 0u);
    idleLow.Update(1);
    idleLow.Update(0);
    EXPECT_EQ(idleLow.GetRisingCount(), 1u);
    EXPECT_EQ(idleLow.GetFallingCount(), 1u);
}

TEST(SignalState, AnyNonZeroLevelIsHigh) {
    TCHiIobSignalState state(0);
    state.Update(0x80);
    state.Update(2);
    state.Update(0);
    EXPECT_EQ(state.GetRisingCount(), 1u);
    EXPECT_EQ(state.GetFallingCount(), 1u);
    EXPECT_EQ(state.GetCurrentLevel(), 0);
}

TEST(SignalState, ResetReturnsToIdleWithZeroCounts) {
    TCHiIobSignalState state(1);
    state.Update(0);
    state.Update(1);
    state.Reset();
    EXPECT_EQ(state.GetCurrentLevel(), 1);
    EXPECT_EQ(state.GetRisingCount(), 0u);
    EXPECT_EQ(state.GetFallingCount(), 0u);
    state.Update(1);
    EXPECT_EQ(state.GetRisingCount(), 0u);
}

}  // namespace
