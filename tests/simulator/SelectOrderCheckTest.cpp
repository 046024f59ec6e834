#include "simulator/usb/SelectOrderCheck.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace {

using zentrix::sim::SdiBoard;
using zentrix::usb::SelectOrderCheck;

using Ports = std::array<std::uint8_t, 7>;
using Report = std::array<std::uint8_t, 64>;

constexpr Ports kNothingSelected{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr Ports kIoBoxSelected{0xFF, 0xFF, 0xFF, 0xFF, 0xBF, 0xFF, 0xFF};

Ports SdiSelected(int sdi) {
    Ports ports = kNothingSelected;
    if (sdi <= 8) {
        ports[3] = static_cast<std::uint8_t>(~(1U << (sdi - 1)));
    } else {
        ports[4] = static_cast<std::uint8_t>(~(1U << (sdi - 9)));
    }
    return ports;
}

Report SpiFrame(std::uint8_t count) {
    Report report{};
    report[0] = 0x09;
    report[1] = count;
    return report;
}

TEST(SelectOrderCheck, EachFrameNeedsTheSelectsOfItsKindAlreadySet) {
    SelectOrderCheck check({{1, SdiBoard::TopUnitInterface},
                            {3, SdiBoard::Lickometer},
                            {10, SdiBoard::TopUnitInterface}});
    check.PinReport(kIoBoxSelected.data());
    EXPECT_FALSE(check.SpecialReport(SpiFrame(4).data())) << "the IO box's expanders";
    EXPECT_FALSE(check.SpecialReport(SpiFrame(4).data())) << "several frames under one select";
    EXPECT_TRUE(check.SpecialReport(SpiFrame(2).data()))
        << "an SDI frame under the IO box's select";

    check.PinReport(SdiSelected(10).data());
    EXPECT_FALSE(check.SpecialReport(SpiFrame(2).data())) << "an SDI expander on port 4's lines";

    check.PinReport(kNothingSelected.data());
    const auto early = check.SpecialReport(SpiFrame(4).data());
    ASSERT_TRUE(early) << "nothing selected and no lickometer latched";
    EXPECT_NE(early->find("before the select lines it needs (low: none"), std::string::npos)
        << *early;

    Ports both = SdiSelected(1);
    both[4] = 0xBF;
    check.PinReport(both.data());
    EXPECT_TRUE(check.SpecialReport(SpiFrame(4).data())) << "two chips selected at once";

    Report readPins{};
    readPins[0] = 0xFF;
    EXPECT_FALSE(check.SpecialReport(readPins.data())) << "only SPI frames need selects";
}

TEST(SelectOrderCheck, ALickometerIsReadOnceAfterEachDeselect) {
    SelectOrderCheck check({{3, SdiBoard::Lickometer}, {1, SdiBoard::TopUnitInterface}});
    check.PinReport(SdiSelected(3).data());
    check.PinReport(kNothingSelected.data());
    EXPECT_FALSE(check.SpecialReport(SpiFrame(4).data()));
    EXPECT_TRUE(check.SpecialReport(SpiFrame(4).data())) << "its answer was taken already";

    check.PinReport(SdiSelected(1).data());
    check.PinReport(kNothingSelected.data());
    EXPECT_TRUE(check.SpecialReport(SpiFrame(4).data()))
        << "a top-unit interface's deselect latches no lickometer";
}

}  // namespace
