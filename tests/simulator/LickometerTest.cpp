#include <gtest/gtest.h>

#include <array>

#include "BenchFixture.h"

namespace {

using zentrix::sim::BoxConfig;
using zentrix::sim::LickSource;
using zentrix::sim::SdiBoard;
using zentrix::sim::testing::OpenBench;
using zentrix::sim::testing::SingleBox;

using Bytes4 = std::array<std::uint8_t, 4>;

BoxConfig LickometerOnSdi(int sdi, double perSecond, std::uint32_t lickMs) {
    BoxConfig box;
    box.sdiBoards = {{sdi, SdiBoard::Lickometer}};
    box.licks = {LickSource{sdi, perSecond, lickMs}};
    return box;
}

// The plug-in's slow-device read latches at the deselect, 7 ms after it starts, and takes 13 ms.
TEST(Lickometer, ShiftsOutDurationAndCountInRadix255AndCountsAfreshAfterEachLatch) {
    OpenBench open(SingleBox(LickometerOnSdi(3, 100.0, 9)));
    open.reports.EnableSpi(true);

    EXPECT_EQ(open.reports.ReadSlowDevice(3), (Bytes4{0, 0, 0, 0}))
        << "latched at 9 ms, before the first lick at 10 ms";

    open.AdvanceTo(3000);
    EXPECT_EQ(open.reports.ReadSlowDevice(3), (Bytes4{15, 1, 45, 1}))
        << "licks 10..3000 ms: 300 = 1 * 255 + 45, lick time 300 * 9 ms = 270 = 1 * 255 + 15";

    EXPECT_EQ(open.reports.ReadSlowDevice(3), (Bytes4{1, 0, 2, 0}))
        << "licks at 3010 and 3020 ms; 18 ms of lick time is one 10 ms unit";
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

TEST(Lickometer, SumsWhatItShiftedOutIncludingClampedValues) {
    OpenBench open(SingleBox(LickometerOnSdi(3, 400.0, 2)));
    open.reports.EnableSpi(true);
    EXPECT_EQ(open.bench.Box(0).ReportedLicks(3), (zentrix::sim::LickometerReports{}));

    open.AdvanceTo(1000);
    const Bytes4 first = open.reports.ReadSlowDevice(3);
    open.AdvanceTo(200000);
    const Bytes4 second = open.reports.ReadSlowDevice(3);
    ASSERT_EQ(second[2], 254) << "about 80000 licks clamp to 65024";
    ASSERT_EQ(second[3], 254);
    const auto value = [](std::uint8_t low, std::uint8_t high) {
        return std::uint64_t{low} + 255u * high;
    };
    const zentrix::sim::LickometerReports expected{
        value(first[2], first[3]) + 65024u,
        10u * (value(first[0], first[1]) + value(second[0], second[1]))};
    EXPECT_GT(expected.lickTimeMs, 0u);
    EXPECT_EQ(open.bench.Box(0).ReportedLicks(3), expected);
    EXPECT_EQ(open.bench.Box(0).ReportedLicks(4), (zentrix::sim::LickometerReports{}));
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

TEST(Lickometer, ClampsEachValueToTheLargestTwoDigitNumber) {
    OpenBench open(SingleBox(LickometerOnSdi(13, 500.0, 1)));
    open.reports.EnableSpi(true);
    open.reports.ReadSlowDevice(13);

    open.AdvanceTo(200000);
    EXPECT_EQ(open.reports.ReadSlowDevice(13), (Bytes4{54, 39, 254, 254}))
        << "99999 licks clamp to 65024; 9999 units of 10 ms are 39 * 255 + 54";
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

TEST(Lickometer, WithoutLickSourceItCountsNothingAndOnlyTheLatchedPortAnswers) {
    BoxConfig box = LickometerOnSdi(3, 4.0, 50);
    box.sdiBoards[5] = SdiBoard::Lickometer;
    OpenBench open(SingleBox(box));
    open.reports.EnableSpi(true);
    open.AdvanceTo(5000);
    EXPECT_EQ(open.reports.ReadSlowDevice(5), (Bytes4{0, 0, 0, 0}));
    EXPECT_EQ(open.reports.ReadSlowDevice(3), (Bytes4{100, 0, 20, 0}))
        << "licks every 250 ms up to 5020 ms: 20 licks of 50 ms";
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

}  // namespace
