#include <gtest/gtest.h>

#include <string>

#include "BenchFixture.h"

namespace {

using zentrix::kIow56PinReportSize;
using zentrix::kIow56SpecialReportSize;
using zentrix::kIowPipeIoPins;
using zentrix::kIowPipeSpecialMode;
using zentrix::sim::BoxConfig;
using zentrix::sim::SdiBoard;
using zentrix::sim::testing::OpenBench;
using zentrix::sim::testing::PluginReports;
using zentrix::sim::testing::SingleBox;

BoxConfig BoardsOnSdi1And3() {
    BoxConfig box;
    box.boxId = 4;
    box.sdiBoards = {{1, SdiBoard::TopUnitInterface}, {3, SdiBoard::Lickometer}};
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

}  // namespace
