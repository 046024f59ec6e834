#include <gtest/gtest.h>

#include <array>
#include <string>

#include "BenchFixture.h"

namespace {

using zentrix::kIow56PinReportSize;
using zentrix::kIow56SpecialReportSize;
using zentrix::kIowPipeIoPins;
using zentrix::kIowPipeSpecialMode;
using zentrix::sim::BoxConfig;
using zentrix::sim::LickSource;
using zentrix::sim::SdiBoard;
using zentrix::sim::testing::OpenBench;
using zentrix::sim::testing::PluginReports;
using zentrix::sim::testing::SingleBox;

using Bytes4 = std::array<std::uint8_t, 4>;

BoxConfig BoardsOnSdi1And3() {
    BoxConfig box;
    box.boxId = 4;
    box.sdiBoards = {{1, SdiBoard::TopUnitInterface}, {3, SdiBoard::Lickometer}};
    box.licks = {LickSource{3, 100.0, 9}};
    return box;
}

// Checks that exactly one protocol error was recorded since the last call, naming `fragment`.
void ExpectOneError(OpenBench& open, const std::string& fragment) {
    const auto errors = open.Box().ProtocolErrors();
    ASSERT_EQ(errors.size(), 1u) << "expected one error about \"" << fragment << "\", got:\n"
                                 << zentrix::sim::testing::DescribeErrors(open.bench);
    EXPECT_NE(errors[0].text.find(fragment), std::string::npos) << errors[0].text;
    EXPECT_EQ(errors[0].boxId, 4);
    EXPECT_LE(errors[0].timeMs, open.bench.NowMs());
    open.Box().ClearProtocolErrors();
}

class ProtocolErrors : public ::testing::Test {
protected:
    ProtocolErrors() : open(SingleBox(BoardsOnSdi1And3())) {}
    OpenBench open;
};

TEST_F(ProtocolErrors, TransfersWithoutExactlyOneTargetOrWithSpiOff) {
    auto& reports = open.reports;
    reports.Transfer(0, 0, 0, 0);
    ExpectOneError(open, "while SPI is disabled");
    EXPECT_EQ(reports.lastReadBytes, 0u) << "a disabled SPI port answers nothing";

    reports.EnableSpi(true);
    reports.Transfer(0, 0, 0, 0);
    ExpectOneError(open, "no select line low");
    EXPECT_EQ(reports.lastReadBytes, kIow56SpecialReportSize);

    reports.WritePins(0xFE, 0xBF);
    reports.Transfer(0, 0, 0, 0);
    ExpectOneError(open, "2 select lines low");

    reports.SelectPort(2);
    EXPECT_TRUE(open.Box().ProtocolErrors().empty()) << "selecting an empty port is harmless";
    reports.Transfer(0x04, 0x01);
    ExpectOneError(open, "SDI 2, which has no board");

    reports.SelectPort(3);
    reports.Transfer(0, 0, 0, 0);
    ExpectOneError(open, "while it is selected");
    reports.DeselectAll();
}

TEST_F(ProtocolErrors, TransfersOfTheWrongLengthForTheirTarget) {
    auto& reports = open.reports;
    reports.EnableSpi(true);
    reports.SelectIoBox();
    reports.Transfer(0x04, 0x01);
    ExpectOneError(open, "to the IO box expanders (4 expected)");

    reports.SelectPort(1);
    reports.Transfer(0x04, 0x01, 0x00, 0x00);
    ExpectOneError(open, "to the SDI 1 expander (2 expected)");

    reports.SelectPort(3);
    reports.DeselectAll();
    reports.Transfer(0x00, 0x00);
    ExpectOneError(open, "to the lickometer on SDI 3 (4 expected)");

    PluginReports::Report oversized{0x09, 62};
    reports.Exchange(oversized);
    ExpectOneError(open, "SPI transfer of 62 bytes");
}

TEST_F(ProtocolErrors, ExpanderMisuse) {
    auto& reports = open.reports;
    reports.EnableSpi(true);
    reports.WriteIoBoxRegister(0x44, 0x01);
    ExpectOneError(open,
                   "IO box output expander: pin register accessed while the chip is in "
                   "shutdown");
    reports.ReadIoBoxRegister(0xC4);
    ExpectOneError(open, "IO box input expander: pin register accessed while");

    reports.ConfigureIoBoxExpanders();
    EXPECT_TRUE(open.Box().ProtocolErrors().empty());
    reports.WriteIoBoxRegister(0x0A, 0x54);
    ExpectOneError(open, "pin configuration 00 written");

    reports.SelectIoBox();
    reports.Transfer(0x4C, 0x01, 0x00, 0x00);
    reports.DeselectAll();
    ExpectOneError(open,
                   "IO box input expander: level register written while it covers an "
                   "input pin");

    reports.WriteIoBoxRegister(0x09, 0xA5);
    reports.WriteIoBoxRegister(0x26, 0x01);
    ExpectOneError(open, "covers an input pin (register 0x26");

    reports.WriteIoBoxRegister(0x06, 0x01);
    ExpectOneError(open, "unsupported register (register 0x06");
    reports.WriteSdiRegister(1, 0x44, 0x01);
    ExpectOneError(open, "SDI 1 expander: pin register accessed while the chip is in shutdown");
}

TEST_F(ProtocolErrors, MalformedReportsAreRefusedWithoutCrashing) {
    auto& bench = open.bench;
    const auto handle = open.handle;
    std::uint8_t report[kIow56SpecialReportSize] = {};

    EXPECT_EQ(bench.Write(handle, kIowPipeIoPins, report, 7), 0u);
    ExpectOneError(open, "write of 7 bytes to pipe 0");
    EXPECT_EQ(bench.Write(handle, kIowPipeSpecialMode, report, kIow56PinReportSize), 0u);
    ExpectOneError(open, "write of 8 bytes to pipe 1");
    EXPECT_EQ(bench.Write(handle, 2, report, kIow56SpecialReportSize), 0u);
    ExpectOneError(open, "to pipe 2");
    EXPECT_EQ(bench.Read(handle, kIowPipeSpecialMode, report, kIow56PinReportSize), 0u);
    ExpectOneError(open, "read of 8 bytes from pipe 1");
    EXPECT_EQ(bench.Write(handle, kIowPipeIoPins, nullptr, kIow56PinReportSize), 0u);
    ExpectOneError(open, "null buffer");
    EXPECT_EQ(bench.Read(handle, kIowPipeSpecialMode, nullptr, kIow56SpecialReportSize), 0u);
    ExpectOneError(open, "null buffer");

    report[0] = 0x01;
    EXPECT_EQ(bench.Write(handle, kIowPipeIoPins, report, kIow56PinReportSize),
              kIow56PinReportSize);
    ExpectOneError(open, "pin report with report id 0x01");
    report[0] = 0x42;
    bench.Write(handle, kIowPipeSpecialMode, report, kIow56SpecialReportSize);
    ExpectOneError(open, "unknown id 0x42");
    report[0] = 0x08;
    report[1] = 0x02;
    bench.Write(handle, kIowPipeSpecialMode, report, kIow56SpecialReportSize);
    ExpectOneError(open, "SPI enable report with switch byte 0x02");
    EXPECT_FALSE(open.Box().SpiEnabled());
}

TEST_F(ProtocolErrors, AnSpiModeOtherThanZeroIsRefusedAndGarblesEveryFrame) {
    auto& reports = open.reports;
    auto& box = open.Box();
    reports.EnableSpi(true, 0x06);
    ExpectOneError(open, "SPI enabled with mode 0x06");
    reports.ConfigureIoBoxExpanders();
    reports.WriteIoBoxRegister(0x44, 0x01);
    EXPECT_FALSE(box.OutputLevel(1, 1)) << "garbled frames change no register";
    EXPECT_EQ(reports.ReadIoBoxRegister(0x84), 0x00) << "nor read anything back";

    reports.EnableSpi(true, 0x80);
    ExpectOneError(open, "SPI enabled with mode 0x80");
    reports.EnableSpi(true);
    EXPECT_TRUE(box.ProtocolErrors().empty());
    reports.ConfigureIoBoxExpanders();
    reports.WriteIoBoxRegister(0x44, 0x01);
    EXPECT_TRUE(box.OutputLevel(1, 1));
    EXPECT_TRUE(box.ProtocolErrors().empty());
}

TEST_F(ProtocolErrors, AFasterClockIsRefusedAndGarblesTheFramesBehindTheSdiPorts) {
    auto& reports = open.reports;
    auto& box = open.Box();
    reports.EnableSpi(true, 0x00, 0x0F);
    ExpectOneError(open, "SPI enabled with clock divider 0x0F");
    reports.ConfigureIoBoxExpanders();
    reports.WriteIoBoxRegister(0x44, 0x01);
    EXPECT_TRUE(box.OutputLevel(1, 1)) << "the expanders on the box itself keep up";
    reports.ConfigurePortExpander(1);
    reports.WriteSdiRegister(1, 0x44, 0x01);
    reports.Strobe();
    EXPECT_FALSE(box.OutputLevel(13, 1)) << "the SDI expander never left shutdown";
    EXPECT_TRUE(box.ProtocolErrors().empty());

    reports.EnableSpi(true);
    reports.ConfigurePortExpander(1);
    reports.WriteSdiRegister(1, 0x44, 0x01);
    reports.Strobe();
    EXPECT_TRUE(box.OutputLevel(13, 1));
    EXPECT_TRUE(box.ProtocolErrors().empty());
}

TEST_F(ProtocolErrors, TransferFlagsAreRefused) {
    auto& reports = open.reports;
    open.ConfigureIoBox();
    reports.SelectIoBox();
    reports.Exchange(PluginReports::Report{0x09, 0x04, 0x80, 0x00, 0x00, 0x44, 0x01});
    ExpectOneError(open, "SPI transfer with flags 0x80 (0x00 expected)");
    reports.DeselectAll();
    EXPECT_TRUE(open.Box().OutputLevel(1, 1)) << "the transfer itself still took place";
    EXPECT_TRUE(open.Box().ProtocolErrors().empty());
}

TEST_F(ProtocolErrors, AFrameLatchesOnlyWhenTheChipSelectRises) {
    auto& reports = open.reports;
    auto& box = open.Box();
    open.ConfigureIoBox();
    reports.SelectIoBox();
    reports.Exchange(PluginReports::Report{0x09, 0x04, 0x40, 0x00, 0x00, 0x44, 0x01});
    ExpectOneError(open, "SPI transfer with flags 0x40");
    open.AdvanceTo(open.bench.NowMs() + 100);
    EXPECT_FALSE(box.OutputLevel(1, 1)) << "the controller still holds the select asserted";

    reports.Transfer(0x00, 0x00, 0x44, 0x02);
    EXPECT_TRUE(box.OutputLevel(1, 2)) << "the transfer that releases the select latches";
    EXPECT_FALSE(box.OutputLevel(1, 1)) << "only the last 16 bits each chip holds";

    reports.Exchange(PluginReports::Report{0x09, 0x04, 0x40, 0x00, 0x00, 0x44, 0x03});
    ExpectOneError(open, "SPI transfer with flags 0x40");
    EXPECT_FALSE(box.OutputLevel(1, 1));
    reports.DeselectAll();
    EXPECT_TRUE(box.OutputLevel(1, 1)) << "the select line rising ends the held frame";

    reports.SelectPort(1);
    reports.Transfer(0x04, 0x01, 0x09, 0x55);
    ExpectOneError(open, "4 bytes to the SDI 1 expander (2 expected)");
    reports.DeselectAll();
    reports.SelectPort(1);
    EXPECT_EQ(reports.Transfer(0x84, 0x00), (std::array<std::uint8_t, 2>{0x09, 0x55}))
        << "the chip kept the last 16 bits and carried them out";
    EXPECT_EQ(reports.Transfer(0x00, 0x00), (std::array<std::uint8_t, 2>{0x84, 0x00}))
        << "the configuration register was never written";
    reports.DeselectAll();
    EXPECT_TRUE(box.ProtocolErrors().empty());
}

TEST_F(ProtocolErrors, SdiOutputsFollowTheirExpanderOnlyOnTheStrobe) {
    auto& reports = open.reports;
    auto& box = open.Box();
    reports.EnableSpi(true);
    reports.ConfigurePortExpander(1);
    reports.WriteSdiRegister(1, 0x44, 0x01);
    reports.SelectPort(1);
    reports.Transfer(0xC4, 0x00);
    EXPECT_EQ(reports.Transfer(0x00, 0x00), (std::array<std::uint8_t, 2>{0xC4, 0x01}));
    reports.DeselectAll();
    EXPECT_FALSE(box.OutputLevel(13, 1)) << "the expander drives the line, the strobe passes it on";

    reports.WritePins(0xFF, 0x7F);
    EXPECT_FALSE(box.OutputLevel(13, 1));
    reports.DeselectAll();
    EXPECT_TRUE(box.OutputLevel(13, 1));
    EXPECT_EQ(box.StrobePulses(), 1u);

    reports.WriteSdiRegister(1, 0x44, 0x00);
    EXPECT_TRUE(box.OutputLevel(13, 1));
    reports.Strobe();
    EXPECT_FALSE(box.OutputLevel(13, 1));
    EXPECT_TRUE(box.ProtocolErrors().empty());
}

TEST_F(ProtocolErrors, ALickometerSelectHeldUnderFiveMillisecondsAnswersStaleCounts) {
    auto& reports = open.reports;
    reports.EnableSpi(true);
    open.AdvanceTo(1000);
    EXPECT_EQ(reports.ReadSlowDevice(3), (Bytes4{90, 0, 100, 0})) << "licks 10..1000 ms";
    EXPECT_TRUE(open.Box().ProtocolErrors().empty()) << "the select is held 7 ms";

    open.AdvanceTo(2000);
    reports.SelectPort(3);
    open.clock.SleepMs(2);
    reports.DeselectAll();
    EXPECT_EQ(reports.Transfer(0, 0, 0, 0), (Bytes4{90, 0, 100, 0}));
    ExpectOneError(open, "lickometer on SDI 3 read after a select of 4 ms (at least 5 needed)");

    reports.SelectPort(3);
    open.clock.SleepMs(3);
    reports.DeselectAll();
    EXPECT_EQ(reports.Transfer(0, 0, 0, 0), (Bytes4{90, 0, 101, 0}))
        << "a select of 5 ms latches, and the counts of the stale read were kept";
    EXPECT_TRUE(open.Box().ProtocolErrors().empty());
}

TEST(PullUps, InputsNothingDrivesReadLowWithoutTheirPullUp) {
    OpenBench open(SingleBox());
    auto& reports = open.reports;
    reports.EnableSpi(true);
    reports.SelectIoBox();
    reports.Transfer(0x04, 0x01, 0x04, 0x01);
    for (std::uint8_t reg = 0x09; reg <= 0x0F; ++reg) {
        reports.Transfer(reg, 0xAA, reg, 0x55);
    }
    reports.DeselectAll();
    open.Box().DriveInput(9, 1, false);

    EXPECT_EQ(reports.ReadIoBoxRegister(0xDC), 0x00) << "pins 28..31 float";
    EXPECT_EQ(reports.ReadIoBoxRegister(0xD4), 0xFE) << "the TTL devices drive pins 20..27";
    const auto configureInputPins28To31 = [&reports](std::uint8_t modes) {
        reports.SelectIoBox();
        reports.Transfer(0x0F, modes, 0x00, 0x00);
        reports.DeselectAll();
    };
    configureInputPins28To31(0xFF);
    EXPECT_EQ(reports.ReadIoBoxRegister(0xDC), 0x0F);
    configureInputPins28To31(0xFA);
    EXPECT_EQ(reports.ReadIoBoxRegister(0xDC), 0x0C) << "pins 28 and 29 without pull-up";
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

TEST_F(ProtocolErrors, PinReportsDriveOnlySelectStrobeAndRearmLines) {
    auto& reports = open.reports;
    reports.SetRearmLevel(false);
    reports.SetRearmLevel(true);
    reports.WritePins(0x00, 0x00 | 0x20);
    reports.DeselectAll();
    EXPECT_TRUE(open.Box().ProtocolErrors().empty());

    const struct {
        int port;
        std::uint8_t levels;
        const char* text;
    } misuses[] = {
        {0, 0xFE, "(port 0 = 0xFE)"}, {1, 0x7F, "(port 1 = 0x7F)"}, {1, 0xEE, "(port 1 = 0xEE)"},
        {2, 0xFB, "(port 2 = 0xFB)"}, {4, 0xDF, "(port 4 = 0xDF)"}, {5, 0x00, "(port 5 = 0x00)"},
        {6, 0x7F, "(port 6 = 0x7F)"},
    };
    for (const auto& misuse : misuses) {
        reports.WritePort(misuse.port, misuse.levels);
        ExpectOneError(open, std::string("pin report drives pins low that are no select, strobe "
                                         "or re-arm line ") +
                                 misuse.text);
        reports.WritePort(misuse.port, 0xFF);
        EXPECT_TRUE(open.Box().ProtocolErrors().empty());
    }

    reports.WritePort(2, 0xFB);
    open.Box().ClearProtocolErrors();
    EXPECT_EQ(reports.ReadPort(2), 0x00) << "the driven pin pulls the id's bit 2 low";
    reports.WritePort(2, 0xFF);
    EXPECT_EQ(reports.ReadPort(2), 0x04);
}

}  // namespace
