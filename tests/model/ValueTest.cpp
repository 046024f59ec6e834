#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "model/Value.h"

namespace {

tagTECKavexIdtHiValue Convert(const TCHiIobValue& value, std::int32_t declared) {
    tagTECKavexIdtHiValue record;
    std::memset(&record, 0xAB, sizeof record);
    value.ToHostValue(declared, record);
    return record;
}

TEST(Value, ConstructorsSetTheTypeAndClearTheOtherPayloads) {
    const TCHiIobValue undefined;
    EXPECT_EQ(undefined.GetType(), eKavexIdtHiVtUndefined);
    EXPECT_FALSE(undefined.GetBoolean());
    EXPECT_EQ(undefined.GetLongLong(), 0);
    EXPECT_EQ(undefined.GetDouble(), 0.0);

    const TCHiIobValue flag(true);
    EXPECT_EQ(flag.GetType(), eKavexIdtHiVtBool);
    EXPECT_TRUE(flag.GetBoolean());
    EXPECT_EQ(flag.GetLongLong(), 0);

    const TCHiIobValue count(std::int64_t{-42});
    EXPECT_EQ(count.GetType(), eKavexIdtHiVtLongLong);
    EXPECT_EQ(count.GetLongLong(), -42);
    EXPECT_FALSE(count.GetBoolean());

    const TCHiIobValue real(2.5);
    EXPECT_EQ(real.GetType(), eKavexIdtHiVtDouble);
    EXPECT_EQ(real.GetDouble(), 2.5);
    EXPECT_EQ(real.GetLongLong(), 0);
}

TEST(Value, ClearKeepsTheType) {
    TCHiIobValue count(std::int64_t{12});
    count.Clear();
    EXPECT_EQ(count.GetType(), eKavexIdtHiVtLongLong);
    EXPECT_EQ(count.GetLongLong(), 0);

    TCHiIobValue undefined;
    undefined.Clear();
    EXPECT_EQ(undefined.GetType(), eKavexIdtHiVtUndefined);
}

TEST(Value, EqualityComparesTypeThenPayload) {
    EXPECT_TRUE(TCHiIobValue() == TCHiIobValue());
    EXPECT_TRUE(TCHiIobValue(true) == TCHiIobValue(true));
    EXPECT_FALSE(TCHiIobValue(true) == TCHiIobValue(false));
    EXPECT_TRUE(TCHiIobValue(std::int64_t{3}) == TCHiIobValue(std::int64_t{3}));
    EXPECT_FALSE(TCHiIobValue(std::int64_t{1}) == TCHiIobValue(true));
    EXPECT_FALSE(TCHiIobValue(std::int64_t{0}) == TCHiIobValue(0.0));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(TCHiIobValue(nan) == TCHiIobValue(nan));
    EXPECT_TRUE(TCHiIobValue(-0.0) == TCHiIobValue(0.0));
}

TEST(Value, ArithmeticCombinesOnlySameTypedNumbers) {
    EXPECT_EQ((TCHiIobValue(std::int64_t{7}) + TCHiIobValue(std::int64_t{5})).GetLongLong(), 12);
    EXPECT_EQ((TCHiIobValue(std::int64_t{7}) - TCHiIobValue(std::int64_t{10})).GetLongLong(), -3);
    EXPECT_EQ((TCHiIobValue(1.5) + TCHiIobValue(2.25)).GetDouble(), 3.75);
    EXPECT_EQ((TCHiIobValue(1.5) - TCHiIobValue(2.0)).GetDouble(), -0.5);

    // Mixed or non-numeric operands give the left operand back unchanged.
    const TCHiIobValue mixed = TCHiIobValue(std::int64_t{7}) + TCHiIobValue(2.5);
    EXPECT_EQ(mixed.GetType(), eKavexIdtHiVtLongLong);
    EXPECT_EQ(mixed.GetLongLong(), 7);
    EXPECT_TRUE((TCHiIobValue(true) + TCHiIobValue(false)) == TCHiIobValue(true));
    EXPECT_TRUE((TCHiIobValue(false) - TCHiIobValue(true)) == TCHiIobValue(false));
    EXPECT_EQ((TCHiIobValue() + TCHiIobValue(std::int64_t{1})).GetType(), eKavexIdtHiVtUndefined);
}

TEST(Value, IntegerArithmeticWrapsAround) {
    const auto max = std::numeric_limits<std::int64_t>::max();
    const auto min = std::numeric_limits<std::int64_t>::min();
    EXPECT_EQ((TCHiIobValue(max) + TCHiIobValue(std::int64_t{1})).GetLongLong(), min);
    EXPECT_EQ((TCHiIobValue(min) - TCHiIobValue(std::int64_t{1})).GetLongLong(), max);
}

TEST(Value, HostRecordFollowsTheDeclaredDurationOnly) {
    const tagTECKavexIdtHiValue undefined = Convert(TCHiIobValue(), eKavexIdtHiVtLongLong);
    EXPECT_EQ(undefined.m_eType, eKavexIdtHiVtUndefined);
    EXPECT_EQ(undefined.m_bValueBoolean, 0);
    EXPECT_EQ(undefined.m_lValueLongLong, 0);
    EXPECT_EQ(undefined.m_dbValueDouble, 0.0);
    EXPECT_EQ(undefined.m_nMicroSeconds, 0);

    const tagTECKavexIdtHiValue duration =
        Convert(TCHiIobValue(std::int64_t{5}), eKavexIdtHiVtDuration);
    EXPECT_EQ(duration.m_eType, eKavexIdtHiVtDuration);
    EXPECT_EQ(duration.m_nMicroSeconds, 5);
    EXPECT_EQ(duration.m_lValueLongLong, 0);
    EXPECT_EQ(duration.m_bValueBoolean, 0);
    EXPECT_EQ(duration.m_dbValueDouble, 0.0);

    // The declared type is not imposed on other values.
    const tagTECKavexIdtHiValue flag = Convert(TCHiIobValue(true), eKavexIdtHiVtLongLong);
    EXPECT_EQ(flag.m_eType, eKavexIdtHiVtBool);
    EXPECT_EQ(flag.m_bValueBoolean, 1);
    EXPECT_EQ(flag.m_nMicroSeconds, 0);

    const tagTECKavexIdtHiValue real = Convert(TCHiIobValue(0.25), eKavexIdtHiVtBool);
    EXPECT_EQ(real.m_eType, eKavexIdtHiVtDouble);
    EXPECT_EQ(real.m_dbValueDouble, 0.25);

    // A declared duration turns even an undefined value into zero microseconds.
    const tagTECKavexIdtHiValue empty = Convert(TCHiIobValue(), eKavexIdtHiVtDuration);
    EXPECT_EQ(empty.m_eType, eKavexIdtHiVtDuration);
    EXPECT_EQ(empty.m_nMicroSeconds, 0);
}

TEST(Value, HostRecordPaddingIsWrittenToo) {
    // The whole record is written in one piece, so no byte of the host's old content survives.
    const tagTECKavexIdtHiValue record = Convert(TCHiIobValue(true), eKavexIdtHiVtBool);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
    for (std::size_t i = 5; i < 8; ++i) {
        EXPECT_EQ(bytes[i], 0) << i;
    }
}

}  // namespace
