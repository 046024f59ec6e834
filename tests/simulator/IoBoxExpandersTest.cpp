#include <gtest/gtest.h>

#include <array>

#include "BenchFixture.h"

namespace {

using zentrix::sim::BoxConfig;
using zentrix::sim::SdiBoard;
using zentrix::sim::testing::OpenBench;
using zentrix::sim::testing::SingleBox;

using Bytes4 = std::array<std::uint8_t, 4>;
using Bytes2 = std::array<std::uint8_t, 2>;

TEST(IoBoxExpanders, ConfiguredOutputExpanderDrivesTheTtlOutputLinesOfItsLevelRegisters) {
    OpenBench open(SingleBox());
    auto& box = open.Box();
    open.ConfigureIoBox();
    EXPECT_FALSE(box.OutputLevel(3, 1));

    open.reports.WriteIoBoxRegister(0x44, 0x10);
    EXPECT_TRUE(box.OutputLevel(3, 1)) << "pin 8 is TTL port 3 line 1";
    EXPECT_FALSE(box.OutputLevel(3, 2));
    EXPECT_FALSE(box.OutputLevel(1, 1));

    open.reports.WriteIoBoxRegister(0x54, 0x80);
    EXPECT_TRUE(box.OutputLevel(12, 2)) << "pin 27 is TTL port 12 line 2";
    EXPECT_TRUE(box.OutputLevel(3, 1)) << "another register leaves the line alone";

    open.reports.WriteIoBoxRegister(0x44, 0x00);
    EXPECT_FALSE(box.OutputLevel(3, 1));
    EXPECT_THROW(box.OutputLevel(13, 29), std::out_of_range);
    EXPECT_THROW(box.OutputLevel(26, 1), std::out_of_range);
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

TEST(IoBoxExpanders, OutputLinesAreLowWhileTheChipIsShutDownOrThePinIsAnInput) {
    OpenBench open(SingleBox());
    auto& box = open.Box();
    open.ConfigureIoBox();
    open.reports.WriteIoBoxRegister(0x44, 0x03);
    ASSERT_TRUE(box.OutputLevel(1, 1));

    open.reports.WriteIoBoxRegister(0x04, 0x00);
    EXPECT_FALSE(box.OutputLevel(1, 1));
    open.reports.WriteIoBoxRegister(0x04, 0x01);
    EXPECT_TRUE(box.OutputLevel(1, 1)) << "the level latch survives the shutdown";

    open.reports.WriteIoBoxRegister(0x09, 0xA9);
    EXPECT_TRUE(box.OutputLevel(1, 1)) << "pin 4 stays an output";
    EXPECT_FALSE(box.OutputLevel(1, 2)) << "pin 5 became an input";
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

TEST(IoBoxExpanders, ReadCommandAnswersInTheNextTransferAndOtherFramesEchoThePreviousOne) {
    OpenBench open(SingleBox());
    auto& reports = open.reports;
    open.ConfigureIoBox();
    open.Box().DriveInput(5, 1, false);
    open.Box().DriveInput(8, 2, false);

    reports.SelectIoBox();
    EXPECT_EQ(reports.Transfer(0xCC, 0x00, 0x00, 0x00), (Bytes4{0x0F, 0xFF, 0x0F, 0x55}))
        << "each chip shifts out the last configuration frame it received";
    EXPECT_EQ(reports.Transfer(0x00, 0x00, 0x00, 0x00), (Bytes4{0xCC, 0x7E, 0x00, 0x00}))
        << "pins 12 (TTL 5 line 1) and 19 (TTL 8 line 2) read low";
    EXPECT_EQ(reports.Transfer(0x00, 0x00, 0x00, 0x00), (Bytes4{0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(reports.Transfer(0xDC, 0x00, 0xC4, 0x00), (Bytes4{0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(reports.Transfer(0x00, 0x00, 0x00, 0x00), (Bytes4{0xDC, 0x0F, 0xC4, 0x00}))
        << "open inputs 28..31 read high; the output expander reads its latches";
    reports.DeselectAll();

    open.Box().ReleaseInput(5, 1);
    EXPECT_EQ(reports.ReadIoBoxRegister(0xCC), 0x7F);
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

TEST(IoBoxExpanders, TopUnitInterfaceDrivesTheSdiOutputLinesOfItsPort) {
    BoxConfig config;
    config.sdiBoards = {{1, SdiBoard::TopUnitInterface}, {13, SdiBoard::TopUnitInterface}};
    OpenBench open(SingleBox(config));
    auto& box = open.Box();
    auto& reports = open.reports;
    reports.EnableSpi(true);
    reports.ConfigurePortExpander(1);
    reports.ConfigurePortExpander(13);

    reports.WriteSdiRegister(1, 0x44, 0x05);
    reports.Strobe();
    EXPECT_TRUE(box.OutputLevel(13, 1));
    EXPECT_FALSE(box.OutputLevel(13, 2));
    EXPECT_TRUE(box.OutputLevel(13, 3));
    reports.WriteSdiRegister(1, 0x5C, 0x08);
    reports.Strobe();
    EXPECT_TRUE(box.OutputLevel(13, 28)) << "pin 31 is line 28";
    reports.WriteSdiRegister(13, 0x2B, 0x01);
    reports.Strobe();
    EXPECT_TRUE(box.OutputLevel(25, 8)) << "single-pin register of pin 11 on SDI 13";
    EXPECT_FALSE(box.OutputLevel(14, 1)) << "SDI 2 has no board";

    reports.SelectPort(1);
    reports.Transfer(0xC4, 0x00);
    EXPECT_EQ(reports.Transfer(0x00, 0x00), (Bytes2{0xC4, 0x05}));
    reports.DeselectAll();
    EXPECT_EQ(box.StrobePulses(), 3u);
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

}  // namespace
