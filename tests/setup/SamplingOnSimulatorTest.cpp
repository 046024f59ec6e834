// The command road and the signal road end to end: host operations of the hardware setup, the
// sampling passes and the simulated IO box, on virtual time, through the simulator's own library
// and through the kernel-driver backend.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "iobox/IOBox.h"
#include "model/Catalog.h"
#include "model/Device.h"
#include "setup/HardwareSetup.h"
#include "simulator/SimulatedBench.h"
#include "support/BenchTransport.h"
#include "support/LogFile.h"
#include "support/TempDir.h"

namespace {

using zentrix::sim::BenchConfig;
using zentrix::sim::BoxConfig;
using zentrix::sim::InputSource;
using zentrix::sim::LickSource;
using zentrix::sim::PulseTrain;
using zentrix::sim::SdiBoard;
using zentrix::sim::TtlDevice;
using zentrix::testing::BenchTransport;
using zentrix::testing::TempDir;
using zentrix::testing::TempRegistry;
using zentrix::testing::Transport;
using zentrix::testing::TransportName;

constexpr std::int32_t kTopUnit = 10;     // Top Unit (Standard), interface position 2 on SDI 1
constexpr std::int32_t kDispenser = 11;   // TTL 5
constexpr std::int32_t kTester = 12;      // TTL 3, button on line 1
constexpr std::int32_t kLickometer = 13;  // SDI 3
constexpr std::int32_t kCustom = 14;      // TTL 7

BoxConfig LabBox(int id = 0) {
    BoxConfig box;
    box.boxId = id;
    box.sdiBoards = {{1, SdiBoard::TopUnitInterface}, {3, SdiBoard::Lickometer}};
    box.ttlDevices = {{5, TtlDevice::PelletDispenser}};
    box.inputs = {InputSource{3, 1, PulseTrain{200, 20, 0}}};
    box.licks = {LickSource{3, 5.0, 40}};
    return box;
}

void ExpectNoProtocolErrorsOn(zentrix::sim::SimulatedBench& bench) {
    for (const auto& error : bench.ProtocolErrors()) {
        ADD_FAILURE() << error.timeMs << " ms: " << error.text;
    }
}

class SamplingTest : public ::testing::TestWithParam<Transport> {
protected:
    explicit SamplingTest(BenchConfig config = Config())
        : bench(config, clock),
          transport(GetParam(), bench, clock),
          setup(std::make_unique<TCHiIobHardwareSetup>(transport.Library(), clock)) {
        AddLabDevices();
    }

    static BenchConfig Config() {
        BenchConfig config;
        config.boxes.push_back(LabBox());
        return config;
    }

    void AddLabDevices() {
        setup->ChangeDevices([this] {
            Add(13, eDeviceTypeTopUnitStandard, kTopUnit, 2);
            Add(5, eDeviceTypePelletDispenser, kDispenser);
            Add(3, eDeviceTypeTtlPortTester, kTester);
            Add(15, eDeviceTypeLickometer, kLickometer);
            Add(7, eDeviceTypeCustomHardware, kCustom);
        });
    }

    void Add(std::int32_t port, std::int32_t type, std::int32_t id, std::int32_t position = -1) {
        ASSERT_TRUE(
            setup->AddDevice(0, port,
                             std::make_unique<TCHiIobDevice>(
                                 setup.get(), "device " + std::to_string(id), type, position, id)));
    }

    // What the sampler thread does, on this thread: one period is an input pass, an output pass
    // and a 2 ms sleep. Returns the longest period seen.
    std::uint32_t RunFor(std::uint32_t milliseconds) {
        const std::uint32_t start = clock.NowMs();
        std::uint32_t longest = 0;
        while (clock.NowMs() - start < milliseconds) {
            const std::uint32_t before = clock.NowMs();
            setup->SampleInputs(true);
            setup->SampleOutputs(true);
            clock.SleepMs(2);
            longest = std::max(longest, clock.NowMs() - before);
        }
        return longest;
    }

    tagTECKavexIdtHiValue Read(std::int32_t device, std::int32_t signal) {
        tagTECKavexIdtHiValue record{};
        record.m_eType = static_cast<tagEKavexIdtHiValueType>(-2);
        setup->ReceiveSignal(device, signal, record);
        return record;
    }

    void ExpectNoProtocolErrors() { ExpectNoProtocolErrorsOn(bench); }

    TempRegistry registry{""};
    zentrix::VirtualClock clock;
    zentrix::sim::SimulatedBench bench;
    BenchTransport transport;
    std::unique_ptr<TCHiIobHardwareSetup> setup;
};

TEST_P(SamplingTest, TopUnitCommandRaisesItsInterfaceLineAndReadsBack) {
    setup->BeginSampling();
    EXPECT_TRUE(setup->SendCommand(kTopUnit, 1));  // White spot on
    RunFor(20);
    // Position 2 of the interface: line 1 + 7.
    EXPECT_TRUE(bench.Box(0).OutputLevel(13, 8));
    EXPECT_FALSE(bench.Box(0).OutputLevel(13, 1));
    const tagTECKavexIdtHiValue on = Read(kTopUnit, 0);  // Is white spot on
    EXPECT_EQ(on.m_eType, eKavexIdtHiVtBool);
    EXPECT_EQ(on.m_bValueBoolean, 1);
    EXPECT_EQ(Read(kTopUnit, 1).m_bValueBoolean, 0);

    // Commands reach the device in the order sent.
    setup->SendCommand(kTopUnit, 0);
    setup->SendCommand(kTopUnit, 1);
    setup->SendCommand(kTopUnit, 0);
    RunFor(10);
    EXPECT_FALSE(bench.Box(0).OutputLevel(13, 8));
    ExpectNoProtocolErrors();
}

TEST_P(SamplingTest, ButtonPressesAddUpOverDifferentialReads) {
    setup->BeginSampling();
    std::int64_t total = 0;
    for (int read = 0; read < 10; ++read) {
        RunFor(100);
        const tagTECKavexIdtHiValue presses = Read(kTester, 0);
        ASSERT_EQ(presses.m_eType, eKavexIdtHiVtLongLong);
        total += presses.m_lValueLongLong;
    }
    // A press every 200 ms over one second of simulator time (from its start at 0).
    const auto elapsed = static_cast<std::int64_t>(bench.NowMs());
    EXPECT_NEAR(static_cast<double>(total), static_cast<double>(elapsed / 200), 1.0);
    EXPECT_GE(total, 4);
    // A read with nothing new reports zero.
    EXPECT_EQ(Read(kTester, 0).m_lValueLongLong, 0);
    ExpectNoProtocolErrors();
}

TEST_P(SamplingTest, LicksAndLickTimeAccumulate) {
    setup->BeginSampling();
    std::int64_t licks = 0;
    std::int64_t microseconds = 0;
    for (int read = 0; read < 5; ++read) {
        RunFor(1000);
        const tagTECKavexIdtHiValue count = Read(kLickometer, 0);
        const tagTECKavexIdtHiValue duration = Read(kLickometer, 1);
        ASSERT_EQ(count.m_eType, eKavexIdtHiVtLongLong);
        ASSERT_EQ(duration.m_eType, eKavexIdtHiVtDuration);
        EXPECT_EQ(duration.m_lValueLongLong, 0);
        licks += count.m_lValueLongLong;
        microseconds += duration.m_nMicroSeconds;
    }
    // Five licks a second, read once every two seconds (the lickometer frequency is 2).
    EXPECT_GE(licks, 15);
    EXPECT_LE(licks, 26);
    EXPECT_EQ(microseconds, licks * 40000);
    ExpectNoProtocolErrors();
}

TEST_P(SamplingTest, StoppingLeavesEveryOutputAtItsDefault) {
    setup->BeginSampling();
    setup->SendCommand(kTopUnit, 1);
    setup->SendCommand(kTopUnit, 3);
    setup->SendCommand(kCustom, 1);
    setup->SendCommand(kCustom, 3);
    RunFor(20);
    EXPECT_TRUE(bench.Box(0).OutputLevel(7, 1));
    EXPECT_TRUE(bench.Box(0).OutputLevel(13, 9));
    setup->SendCommand(kDispenser, 0);  // a pulse still running when sampling ends
    setup->EndSampling();
    for (std::int32_t line = 1; line <= 28; ++line) {
        EXPECT_FALSE(bench.Box(0).OutputLevel(13, line)) << line;
    }
    EXPECT_FALSE(bench.Box(0).OutputLevel(7, 1));
    EXPECT_FALSE(bench.Box(0).OutputLevel(7, 2));
    EXPECT_FALSE(bench.Box(0).OutputLevel(5, 1));
    EXPECT_EQ(Read(kCustom, 8).m_bValueBoolean, 0);  // Is output 1 High
    ExpectNoProtocolErrors();
}

TEST_P(SamplingTest, UnpluggedBoxLosesItsAttachmentAndSamplingGoesOn) {
    setup->BeginSampling();
    RunFor(50);
    EXPECT_TRUE(setup->IsIODeviceConnected(0));
    zentrix::sim::FaultConfig faults;
    faults.unplugAfterReports = 1;
    bench.Box(0).SetFaults(faults);
    RunFor(100000);
    EXPECT_FALSE(setup->IsIODeviceConnected(0));
    EXPECT_TRUE(setup->SendCommand(kTopUnit, 1));
    RunFor(10);
    const tagTECKavexIdtHiValue state = Read(kTester, 2);
    EXPECT_EQ(state.m_eType, eKavexIdtHiVtBool);
    setup->EndSampling();
}

class SamplingDiscovery : public ::testing::TestWithParam<Transport> {};

TEST_P(SamplingDiscovery, TwoBoxesAreAttachedAndConfiguredInEnumerationOrder) {
    TempRegistry registry("");
    zentrix::VirtualClock clock;
    BenchConfig config;
    config.boxes.push_back(LabBox(7));
    config.boxes.push_back(LabBox(2));
    zentrix::sim::SimulatedBench bench(config, clock);
    BenchTransport transport(GetParam(), bench, clock);
    TCHiIobHardwareSetup setup(transport.Library(), clock);
    EXPECT_EQ(setup.ListIOBoxIds(), (std::vector<std::int32_t>{7, 2}));
    EXPECT_TRUE(setup.IsIODeviceConnected(7));
    EXPECT_TRUE(setup.IsIODeviceConnected(2));
    EXPECT_TRUE(bench.Box(0).SpiEnabled());
    EXPECT_TRUE(bench.Box(1).SpiEnabled());
    ExpectNoProtocolErrorsOn(bench);
}

TEST_P(SamplingDiscovery, OnlyForeignControllersGiveNoBox) {
    TempRegistry registry("");
    zentrix::VirtualClock clock;
    BenchConfig config;
    config.boxes.push_back(LabBox());
    config.boxes[0].productId = 0x1500;
    zentrix::sim::SimulatedBench bench(config, clock);
    BenchTransport transport(GetParam(), bench, clock);
    TCHiIobHardwareSetup setup(transport.Library(), clock);
    EXPECT_TRUE(setup.ListIOBoxIds().empty());
    ExpectNoProtocolErrorsOn(bench);
}

// The scratch directory must exist before the bench that logs into it.
struct Scratch {
    TempDir scratch;
};

class DropPulseTest : protected Scratch, public SamplingTest {
protected:
    static BenchConfig LoggedConfig(const std::string& log) {
        BenchConfig config = Config();
        config.eventLog = log;
        return config;
    }
    DropPulseTest() : SamplingTest(LoggedConfig((scratch.Path() / "events.jsonl").string())) {}
};

TEST_P(DropPulseTest, DropPelletPulsesThirtyMillisecondsAndCountsOneDrop) {
    setup->BeginSampling();
    RunFor(50);
    ASSERT_TRUE(setup->SendCommand(kDispenser, 0));
    const std::uint32_t longestPeriod = RunFor(300);
    setup->EndSampling();

    std::ifstream log(scratch.Path() / "events.jsonl");
    std::string line;
    std::vector<std::int64_t> rises;
    std::vector<std::int64_t> falls;
    while (std::getline(log, line)) {
        const auto event = nlohmann::json::parse(line);
        if (event["io"] == "out" && event["port"] == 5 && event["line"] == 1) {
            (event["level"] == 1 ? rises : falls).push_back(event["t_ms"].get<std::int64_t>());
        }
    }
    ASSERT_EQ(rises.size(), 1u);
    ASSERT_EQ(falls.size(), 1u);
    const std::int64_t high = falls[0] - rises[0];
    EXPECT_GE(high, 30);
    EXPECT_LT(high, 30 + static_cast<std::int64_t>(longestPeriod));

    const tagTECKavexIdtHiValue drops = Read(kDispenser, 0);
    EXPECT_EQ(drops.m_eType, eKavexIdtHiVtLongLong);
    EXPECT_EQ(drops.m_lValueLongLong, 1);
    EXPECT_EQ(bench.Box(0).PelletsDropped(5), 1u);
    EXPECT_EQ(Read(kDispenser, 1).m_bValueBoolean, 0);  // not in error state
    ExpectNoProtocolErrors();
}

// The times at which the dispenser's drop line rose and fell, from the bench's event log.
struct DropLineEdges {
    std::vector<std::int64_t> rises;
    std::vector<std::int64_t> falls;
};

DropLineEdges ReadDropLineEdges(const std::filesystem::path& eventLog) {
    std::ifstream log(eventLog);
    DropLineEdges edges;
    for (std::string line; std::getline(log, line);) {
        const auto event = nlohmann::json::parse(line);
        if (event["io"] == "out" && event["port"] == 5 && event["line"] == 1) {
            (event["level"] == 1 ? edges.rises : edges.falls)
                .push_back(event["t_ms"].get<std::int64_t>());
        }
    }
    return edges;
}

TEST_P(DropPulseTest, TwoDropsAnyGapApartAndABurstDropEveryPelletAsAPulseOfItsOwn) {
    setup->BeginSampling();
    RunFor(50);
    std::uint32_t longestPeriod = 0;
    std::size_t sent = 0;
    for (std::uint32_t gap = 0; gap <= 100; gap += 5) {
        const std::uint32_t before = bench.Box(0).PelletsDropped(5);
        ASSERT_TRUE(setup->SendCommand(kDispenser, 0));
        const std::uint32_t sentAt = clock.NowMs();
        while (clock.NowMs() - sentAt < gap) {
            longestPeriod = std::max(longestPeriod, RunFor(1));
        }
        ASSERT_TRUE(setup->SendCommand(kDispenser, 0));
        sent += 2;
        longestPeriod = std::max(longestPeriod, RunFor(400));
        EXPECT_EQ(bench.Box(0).PelletsDropped(5) - before, 2u) << "gap of " << gap << " ms";
    }
    constexpr std::uint32_t kBurst = 7;
    const std::uint32_t before = bench.Box(0).PelletsDropped(5);
    for (std::uint32_t i = 0; i < kBurst; ++i) {
        ASSERT_TRUE(setup->SendCommand(kDispenser, 0));
    }
    sent += kBurst;
    longestPeriod = std::max(longestPeriod, RunFor(kBurst * 100 + 200));
    EXPECT_EQ(bench.Box(0).PelletsDropped(5) - before, kBurst);
    setup->EndSampling();

    // Each command made a pulse of its own: 30 ms high, then low for at least one write.
    const DropLineEdges edges = ReadDropLineEdges(scratch.Path() / "events.jsonl");
    ASSERT_EQ(edges.rises.size(), sent);
    ASSERT_EQ(edges.falls.size(), sent);
    for (std::size_t i = 0; i < sent; ++i) {
        EXPECT_GE(edges.falls[i] - edges.rises[i], 30) << i;
        EXPECT_LT(edges.falls[i] - edges.rises[i], 30 + static_cast<std::int64_t>(longestPeriod))
            << i;
        if (i + 1 < sent) {
            EXPECT_GT(edges.rises[i + 1], edges.falls[i]) << i;
        }
    }
    ExpectNoProtocolErrors();
}

TEST_P(SamplingTest, AnUnpluggedBoxIsLoggedWhenItDetaches) {
    const zentrix::testing::LogFile log("warning");
    setup->BeginSampling();
    RunFor(50);
    EXPECT_TRUE(log.Text().empty()) << log.Text();
    zentrix::sim::FaultConfig faults;
    faults.unplugAfterReports = 1;
    bench.Box(0).SetFaults(faults);
    RunFor(100000);
    ASSERT_FALSE(setup->IsIODeviceConnected(0));
    EXPECT_EQ(log.Lines({"zentrix: warning: iobox: IO box 0: reading its inputs failed"}).size(),
              1u)
        << log.Text();
    EXPECT_FALSE(log.Lines({"zentrix: warning: transfer: ", "giving up"}).empty()) << log.Text();
    setup->EndSampling();
    ExpectNoProtocolErrors();
}

INSTANTIATE_TEST_SUITE_P(Transports, SamplingTest,
                         ::testing::Values(Transport::Simulator, Transport::KernelDriver),
                         TransportName);
INSTANTIATE_TEST_SUITE_P(Transports, SamplingDiscovery,
                         ::testing::Values(Transport::Simulator, Transport::KernelDriver),
                         TransportName);
INSTANTIATE_TEST_SUITE_P(Transports, DropPulseTest,
                         ::testing::Values(Transport::Simulator, Transport::KernelDriver),
                         TransportName);

}  // namespace
