#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "BenchFixture.h"

namespace {

std::atomic<bool> g_countAllocations{false};
std::atomic<std::size_t> g_allocations{0};

}  // namespace

// Sanitizers replace the allocator themselves; counting is left to the plain builds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZENTRIX_COUNT_ALLOCATIONS 0
#else
#define ZENTRIX_COUNT_ALLOCATIONS 1
#endif

#if ZENTRIX_COUNT_ALLOCATIONS
// Counting every allocation of the process is the only way to see one that the simulator makes;
// GCC takes the malloc and free inside the replacements for a mismatched pair.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    if (g_countAllocations.load(std::memory_order_relaxed)) {
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept {
    std::free(memory);
}

void operator delete(void* memory, std::size_t /*size*/) noexcept {
    std::free(memory);
}
#pragma GCC diagnostic pop
#endif

namespace {

using zentrix::kIow56PinReportSize;
using zentrix::kIowPipeIoPins;
using zentrix::sim::BoxConfig;
using zentrix::sim::InputSource;
using zentrix::sim::LickSource;
using zentrix::sim::PulseTrain;
using zentrix::sim::SdiBoard;
using zentrix::sim::TtlDevice;
using zentrix::sim::testing::OpenBench;
using zentrix::sim::testing::SingleBox;

TEST(SimulatorAllocations, ReportExchangesWithoutTraceOrEventLogAllocateNothing) {
    if (!ZENTRIX_COUNT_ALLOCATIONS) {
        GTEST_SKIP() << "allocations are counted in builds without sanitizers";
    }
    BoxConfig box;
    box.sdiBoards = {{1, SdiBoard::TopUnitInterface}, {3, SdiBoard::Lickometer}};
    box.ttlDevices = {{1, TtlDevice::PelletDispenser}};
    box.inputs = {InputSource{6, 2, PulseTrain{50, 10, 2}}};
    box.licks = {LickSource{3, 4.0, 50}};
    OpenBench open(SingleBox(box));
    auto& reports = open.reports;
    open.ConfigureIoBox();
    reports.ConfigurePortExpander(1);
    std::uint8_t pins[kIow56PinReportSize] = {};

    g_allocations = 0;
    g_countAllocations = true;
    for (int i = 0; i < 200; ++i) {
        reports.ReadPort(1);
        reports.ReadIoBoxRegister(0xCC);
        reports.Rearm();
        reports.WriteIoBoxRegister(0x44, static_cast<std::uint8_t>(i & 1));
        reports.WriteSdiRegister(1, 0x44, static_cast<std::uint8_t>(i & 0xFF));
        reports.ReadSlowDevice(3);
        reports.Strobe();
        open.bench.Read(open.handle, kIowPipeIoPins, pins, kIow56PinReportSize);
    }
    g_countAllocations = false;

    EXPECT_EQ(g_allocations.load(), 0u);
    EXPECT_GT(open.Box().PelletsDropped(1), 0u);
    EXPECT_NO_PROTOCOL_ERRORS(open.bench);
}

}  // namespace
