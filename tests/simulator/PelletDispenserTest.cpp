#include <gtest/gtest.h>

#include "BenchFixture.h"

namespace {

using zentrix::sim::BoxConfig;
using zentrix::sim::TtlDevice;
using zentrix::sim::testing::OpenBench;
using zentrix::sim::testing::SingleBox;

// TTL port 5 line 1 is pin 12: bit 0 of register 0x4C on both IO box expanders.
BoxConfig PelletDispenserOnTtl5() {
    BoxConfig box;
    box.ttlDevices = {{5, TtlDevice::PelletDispenser}};
    return box;
}

// Raises the dispenser's output line and returns the simulator time of the transfer that did.
std::uint64_t RaiseDropLine(OpenBench& open) {
    open.reports.SelectIoBox();
    const std::uint64_t edgeMs = open.bench.NowMs();
    open.reports.Transfer(0x00, 0x00, 0x4C, 0x01);
    open.reports.DeselectAll();
    return edgeMs;
}

TEST(PelletDispenser, AnswersARisingEdgeWithA60MsDropPulse20MsLater) {
    OpenBench open(SingleBox(PelletDispenserOnTtl5()));
    auto& box = open.Box();
    open.ConfigureIoBox();
    EXPECT_FALSE(box.InputLevel(5, 1)) << "the drop line idles low";
    EXPECT_TRUE(box.InputLevel(5, 2)) << "the error line stays high";

    const std::uint64_t edgeMs = RaiseDropLine(open);
    EXPECT_TRUE(box.OutputLevel(5, 1));
    open.AdvanceTo(edgeMs + 19);
    EXPECT_FALSE(box.InputLevel(5, 1));
    EXPECT_EQ(box.PelletsDropped(5), 0u);
    open.AdvanceTo(edgeMs + 20);
    EXPECT_TRUE(box.InputLevel(5, 1));
    EXPECT_EQ(box.PelletsDropped(5), 1u);
    EXPECT_EQ(open.reports.ReadIoBoxRegister(0xCC) & 0x01, 0x01);
    EXPECT_TRUE(box.InterruptLatched(1));

    open.AdvanceTo(edgeMs + 79);
    EXPECT_TRUE(box.InputLevel(5, 1));
    open.AdvanceTo(edgeMs + 80);
    EXPECT_FALSE(box.InputLevel(5, 1));
    EXPECT_TRUE(box.InputLevel(5, 2));
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

TEST(PelletDispenser, ARisingEdgeDuringADropOrdersAnotherAfterIt) {
    OpenBench open(SingleBox(PelletDispenserOnTtl5()));
    auto& box = open.Box();
    open.ConfigureIoBox();
    const std::uint64_t firstMs = RaiseDropLine(open);
    open.AdvanceTo(firstMs + 30);
    open.reports.WriteIoBoxRegister(0x4C, 0x00);
    RaiseDropLine(open);
    open.AdvanceTo(firstMs + 99);
    EXPECT_EQ(box.PelletsDropped(5), 1u);
    EXPECT_FALSE(box.InputLevel(5, 1)) << "low between the two drops";
    open.AdvanceTo(firstMs + 100);
    EXPECT_EQ(box.PelletsDropped(5), 2u);
    EXPECT_TRUE(box.InputLevel(5, 1));
    open.AdvanceTo(firstMs + 160);
    EXPECT_FALSE(box.InputLevel(5, 1));
    EXPECT_EQ(box.PelletsDropped(4), 0u) << "no dispenser on TTL 4";
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

}  // namespace
