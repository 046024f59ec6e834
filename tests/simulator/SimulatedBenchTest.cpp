#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "BenchFixture.h"
#include "simulator/SimulatedBench.h"

namespace {

using zentrix::IowHandle;
using zentrix::kIow56PinReportSize;
using zentrix::kIow56SpecialReportSize;
using zentrix::kIowPipeIoPins;
using zentrix::kIowPipeSpecialMode;
using zentrix::VirtualClock;
using zentrix::sim::BenchConfig;
using zentrix::sim::BoxConfig;
using zentrix::sim::SimulatedBench;
using zentrix::sim::TraceKind;
using zentrix::sim::testing::OpenBench;
using zentrix::sim::testing::PluginReports;
using zentrix::sim::testing::SingleBox;

BenchConfig TwoBoxes() {
    BoxConfig first;
    first.boxId = 3;
    first.serial = "ABCD0123";
    BoxConfig second;
    second.boxId = 7;
    second.productId = 0x1234;
    BenchConfig config;
    config.boxes = {first, second};
    return config;
}

std::u16string SerialOf(SimulatedBench& bench, IowHandle handle) {
    char16_t buffer[10] = {u'x', u'x', u'x', u'x', u'x', u'x', u'x', u'x', u'x', u'x'};
    if (!bench.GetSerialNumber(handle, buffer)) {
        return u"<failed>";
    }
    return buffer;
}

TEST(SimulatedBenchLibrary, EnumeratesControllersWithSerialProductIdAndBoxId) {
    VirtualClock clock;
    SimulatedBench bench(TwoBoxes(), clock);

    const IowHandle first = bench.OpenDevice();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(bench.GetNumDevs(), 2);
    EXPECT_EQ(bench.GetDeviceHandle(1), first);
    const IowHandle second = bench.GetDeviceHandle(2);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_EQ(bench.GetDeviceHandle(0), nullptr);
    EXPECT_EQ(bench.GetDeviceHandle(3), nullptr);

    EXPECT_EQ(SerialOf(bench, first), u"ABCD0123");
    EXPECT_EQ(SerialOf(bench, second), u"00001002");
    EXPECT_EQ(bench.GetProductId(first), zentrix::kIoWarrior56ProductId);
    EXPECT_EQ(bench.GetProductId(second), 0x1234u);

    PluginReports firstReports(bench, first, clock);
    PluginReports secondReports(bench, second, clock);
    EXPECT_EQ(firstReports.ReadPort(2), 3);
    EXPECT_EQ(secondReports.ReadPort(2), 7);
    EXPECT_EQ(bench.FindBox(7), &bench.Box(1));
    EXPECT_EQ(bench.FindBox(8), nullptr);
    EXPECT_THROW(bench.Box(2), std::out_of_range);
    EXPECT_NO_PROTOCOL_ERRORS(bench);
}

TEST(SimulatedBenchLibrary, ABenchWithoutBoxesOpensNothing) {
    VirtualClock clock;
    SimulatedBench bench(BenchConfig{}, clock);
    EXPECT_EQ(bench.OpenDevice(), nullptr);
    EXPECT_EQ(bench.GetNumDevs(), 0);
    EXPECT_EQ(bench.GetDeviceHandle(1), nullptr);
    bench.CloseDevice(nullptr);
    EXPECT_NO_PROTOCOL_ERRORS(bench);
}

TEST(SimulatedBenchLibrary, HandlesUsedAfterCloseTransferNothingAndAreProtocolErrors) {
    VirtualClock clock;
    SimulatedBench bench(TwoBoxes(), clock);
    const IowHandle handle = bench.OpenDevice();
    const IowHandle second = bench.GetDeviceHandle(2);
    bench.CloseDevice(nullptr);
    EXPECT_NO_PROTOCOL_ERRORS(bench);

    EXPECT_EQ(bench.GetNumDevs(), 0);
    EXPECT_EQ(bench.GetDeviceHandle(1), nullptr);
    EXPECT_EQ(SerialOf(bench, handle), u"<failed>");
    EXPECT_EQ(bench.GetProductId(handle), 0u);
    std::uint8_t pins[kIow56PinReportSize] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(bench.Write(handle, kIowPipeIoPins, pins, kIow56PinReportSize), 0u);
    std::uint8_t readPins[kIow56SpecialReportSize] = {0xFF};
    EXPECT_EQ(bench.Write(second, kIowPipeSpecialMode, readPins, kIow56SpecialReportSize), 0u);
    EXPECT_EQ(bench.Read(second, kIowPipeSpecialMode, readPins, kIow56SpecialReportSize), 0u);
    bench.SetTimeout(handle, 10);
    bench.SetWriteTimeout(handle, 10);
    EXPECT_EQ(bench.Box(1).PendingReplies(), 0u) << "the read-pins report never arrived";

    const std::vector<std::string> expected = {"serial number", "product id", "write",
                                               "read timeout", "write timeout"};
    const auto errors = bench.Box(0).ProtocolErrors();
    ASSERT_EQ(errors.size(), expected.size()) << zentrix::sim::testing::DescribeErrors(bench);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(errors[i].text, expected[i] + " through the handle of a closed controller");
    }
    const auto secondErrors = bench.Box(1).ProtocolErrors();
    ASSERT_EQ(secondErrors.size(), 2u);
    EXPECT_EQ(secondErrors[0].text, "write through the handle of a closed controller");
    EXPECT_EQ(secondErrors[1].text, "read through the handle of a closed controller");
    bench.Box(0).ClearProtocolErrors();
    bench.Box(1).ClearProtocolErrors();

    int notAHandle = 0;
    EXPECT_EQ(bench.OpenDevice(), handle);
    EXPECT_EQ(bench.Write(&notAHandle, kIowPipeIoPins, pins, kIow56PinReportSize), 0u);
    EXPECT_EQ(bench.GetProductId(&notAHandle), 0u);
    EXPECT_EQ(bench.Write(handle, kIowPipeIoPins, pins, kIow56PinReportSize), kIow56PinReportSize);
    EXPECT_NO_PROTOCOL_ERRORS(bench);
}

TEST(SimulatedBenchLibrary, AReadWithNothingToDeliverCostsTheReadTimeoutOnTheClock) {
    OpenBench open(SingleBox());
    std::uint8_t buffer[kIow56SpecialReportSize] = {};

    open.bench.SetTimeout(open.handle, 250);
    EXPECT_EQ(open.bench.Read(open.handle, kIowPipeSpecialMode, buffer, kIow56SpecialReportSize),
              0u);
    EXPECT_EQ(open.bench.NowMs(), 250u);
    EXPECT_EQ(open.bench.Read(open.handle, kIowPipeIoPins, buffer, kIow56PinReportSize), 0u);
    EXPECT_EQ(open.bench.NowMs(), 500u);
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

TEST(SimulatedBenchLibrary, RepliesAreReadInTheOrderTheirReportsWereWritten) {
    OpenBench open(SingleBox());
    auto& bench = open.bench;
    PluginReports::Report readPins{0xFF};
    PluginReports::Report enable{0x08, 0x01, 0x00, 0xFF};
    PluginReports::Report transfer{0x09, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00};
    open.reports.SelectIoBox();
    bench.Write(open.handle, kIowPipeSpecialMode, enable.data(), kIow56SpecialReportSize);
    bench.Write(open.handle, kIowPipeSpecialMode, transfer.data(), kIow56SpecialReportSize);
    bench.Write(open.handle, kIowPipeSpecialMode, readPins.data(), kIow56SpecialReportSize);
    EXPECT_EQ(open.Box().PendingReplies(), 2u);

    PluginReports::Report reply{};
    ASSERT_EQ(bench.Read(open.handle, kIowPipeSpecialMode, reply.data(), kIow56SpecialReportSize),
              kIow56SpecialReportSize);
    EXPECT_EQ(reply[0], 0x09);
    EXPECT_EQ(reply[1], 0x04);
    ASSERT_EQ(bench.Read(open.handle, kIowPipeSpecialMode, reply.data(), kIow56SpecialReportSize),
              kIow56SpecialReportSize);
    EXPECT_EQ(reply[0], 0xFF);
    EXPECT_EQ(reply[2], 0xFF) << "port 1: no interrupt latched, re-arm line high";
    EXPECT_EQ(reply[4], 0xFF) << "port 3: no SDI port selected";
    EXPECT_EQ(reply[5], 0xBF) << "port 4: the IO box expanders selected";
    EXPECT_EQ(open.Box().PendingReplies(), 0u);

    for (int i = 0; i < 20; ++i) {
        bench.Write(open.handle, kIowPipeSpecialMode, readPins.data(), kIow56SpecialReportSize);
    }
    EXPECT_EQ(open.Box().PendingReplies(), zentrix::sim::SimulatedIoBox::kReplySlots);
    EXPECT_NO_PROTOCOL_ERRORS(bench);
}

TEST(SimulatedBenchTrace, IsOffByDefaultAndRecordsEveryReportAndTimeoutWhenOn) {
    OpenBench open(SingleBox());
    auto& box = open.Box();
    open.reports.DeselectAll();
    EXPECT_TRUE(box.Trace().empty());

    box.SetTraceEnabled(true);
    open.bench.SetTimeout(open.handle, 1000);
    open.reports.SelectIoBox();
    open.reports.ReadPort(1);
    open.bench.SetWriteTimeout(open.handle, 10000);

    const auto trace = box.Trace();
    ASSERT_EQ(trace.size(), 5u);
    EXPECT_EQ(trace[0].kind, TraceKind::SetReadTimeout);
    EXPECT_EQ(trace[0].timeoutMs, 1000u);
    EXPECT_EQ(trace[1].kind, TraceKind::Write);
    EXPECT_EQ(trace[1].pipe, kIowPipeIoPins);
    EXPECT_EQ(trace[1].bytes,
              (std::vector<std::uint8_t>{0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xBF, 0xFF, 0xFF}));
    EXPECT_EQ(trace[1].result, kIow56PinReportSize);
    EXPECT_EQ(trace[2].kind, TraceKind::Write);
    EXPECT_EQ(trace[2].pipe, kIowPipeSpecialMode);
    EXPECT_EQ(trace[2].bytes.size(), kIow56SpecialReportSize);
    EXPECT_EQ(trace[2].bytes[0], 0xFF);
    EXPECT_EQ(trace[3].kind, TraceKind::Read);
    EXPECT_EQ(trace[3].result, kIow56SpecialReportSize);
    EXPECT_EQ(trace[3].bytes[5], 0xBF);
    EXPECT_EQ(trace[4].kind, TraceKind::SetWriteTimeout);
    EXPECT_EQ(trace[4].timeoutMs, 10000u);
    EXPECT_LT(trace[1].timeMs, trace[3].timeMs);

    box.ClearTrace();
    box.SetTraceEnabled(false);
    open.reports.DeselectAll();
    EXPECT_TRUE(box.Trace().empty());
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

TEST(SimulatedBenchThreads, TestsMayObserveTheBenchWhileAnotherThreadDrivesIt) {
    BoxConfig box;
    box.inputs = {zentrix::sim::InputSource{2, 1, zentrix::sim::PulseTrain{20, 5, 1}}};
    OpenBench open(SingleBox(box));
    open.ConfigureIoBox();
    std::thread driver([&] {
        for (int i = 0; i < 200; ++i) {
            open.reports.WriteIoBoxRegister(0x44, static_cast<std::uint8_t>(i & 1));
            open.reports.ReadPort(1);
            open.reports.Rearm();
        }
    });
    for (int i = 0; i < 200; ++i) {
        open.Box().OutputLevel(1, 1);
        open.Box().InputLevel(2, 1);
        open.Box().InterruptLatched(0);
    }
    driver.join();
    EXPECT_TRUE(open.Box().OutputLevel(1, 1)) << "the last write set pin 4";
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

}  // namespace
