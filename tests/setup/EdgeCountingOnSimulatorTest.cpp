// Every edge the simulated inputs make reaches the host exactly once, however the sampler's passes
// fall against them: inputs in different interrupt groups moving together, on virtual time, through
// the simulator's own library and through the kernel-driver backend.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "model/Catalog.h"
#include "model/Device.h"
#include "setup/HardwareSetup.h"
#include "simulator/SimulatedBench.h"
#include "support/BenchTransport.h"
#include "support/TempDir.h"
#include "support/VirtualPasses.h"

namespace {

using zentrix::sim::BenchConfig;
using zentrix::sim::BoxConfig;
using zentrix::sim::InputEdgeCounts;
using zentrix::sim::InputSource;
using zentrix::sim::PulseTrain;
using zentrix::sim::TtlDevice;
using zentrix::testing::BenchTransport;
using zentrix::testing::TempRegistry;
using zentrix::testing::Transport;
using zentrix::testing::TransportName;

// One device per interrupt group: TTL ports 1..4, 5..8 and 9..12.
constexpr std::int32_t kTester = 1;     // TTL 3, button 1 on line 1
constexpr std::int32_t kDispenser = 2;  // TTL 5, drop sensor on line 1
constexpr std::int32_t kCustom = 3;     // TTL 10, input 1 on line 1
constexpr std::int32_t kTesterPort = 3;
constexpr std::int32_t kDispenserPort = 5;
constexpr std::int32_t kCustomPort = 10;

constexpr std::int32_t kButton1Presses = 0;
constexpr std::int32_t kIsButton1Pressed = 2;
constexpr std::int32_t kNumberOfDrops = 0;
constexpr std::int32_t kDropPellet = 0;
constexpr std::int32_t kInput1RisingCount = 1;
constexpr std::int32_t kInput1FallingCount = 0;
constexpr std::int32_t kIsInput1High = 3;

// Long enough for the passes to have read any change, even when every group is busy.
constexpr std::uint32_t kSettleMs = 300;
constexpr std::uint32_t kReadEveryMs = 50;

struct HostCounts {
    std::int64_t presses = 0;
    std::int64_t drops = 0;
    std::int64_t customFalls = 0;
    std::int64_t customRises = 0;
};

class EdgeBench {
public:
    EdgeBench(Transport transport, PulseTrain button, PulseTrain custom, std::uint32_t startDelayMs)
        : m_bench(Config(button, custom), m_clock),
          m_transport(transport, m_bench, m_clock),
          m_setup(std::make_unique<TCHiIobHardwareSetup>(m_transport.Library(), m_clock)) {
        m_setup->ChangeDevices([this] {
            Add(kTesterPort, eDeviceTypeTtlPortTester, kTester);
            Add(kDispenserPort, eDeviceTypePelletDispenser, kDispenser);
            Add(kCustomPort, eDeviceTypeCustomHardware, kCustom);
        });
        // Shifts the sampler's passes against the inputs, which run on simulator time.
        m_clock.Advance(startDelayMs);
        m_setup->BeginSampling();
    }

    ~EdgeBench() { m_setup->EndSampling(); }

    // The sampler thread's loop on this thread, reading the host's signals every kReadEveryMs;
    // a drop is commanded every `dropEveryMs` when that is not 0.
    void Run(std::uint32_t milliseconds, std::uint32_t dropEveryMs = 0) {
        zentrix::testing::RunVirtualPasses(
            m_clock, *m_setup, {milliseconds, dropEveryMs, kReadEveryMs}, [] {},
            [this] {
                EXPECT_TRUE(m_setup->SendCommand(kDispenser, kDropPellet));
                ++m_dropsCommanded;
            },
            [this] { ReadSignals(); });
    }

    // Holds every input at the level it has, so that no edge is left in flight, and lets the
    // passes catch up.
    void Freeze() {
        for (const std::int32_t port : {kTesterPort, kDispenserPort, kCustomPort}) {
            Box().DriveInput(port, 1, Box().InputLevel(port, 1));
        }
        Run(kSettleMs);
        ReadSignals();
    }

    zentrix::sim::SimulatedIoBox& Box() { return m_bench.Box(0); }
    const HostCounts& Counts() const { return m_counts; }
    std::uint32_t DropsCommanded() const { return m_dropsCommanded; }

    void ExpectCountsMatchTheInputs() {
        const InputEdgeCounts button = Box().InputEdges(kTesterPort, 1);
        const InputEdgeCounts sensor = Box().InputEdges(kDispenserPort, 1);
        const InputEdgeCounts custom = Box().InputEdges(kCustomPort, 1);
        EXPECT_EQ(m_counts.presses, button.falls);
        EXPECT_EQ(m_counts.drops, sensor.falls);
        EXPECT_EQ(m_counts.customFalls, custom.falls);
        EXPECT_EQ(m_counts.customRises, custom.rises);
    }

    void ExpectNoProtocolErrors() {
        for (const auto& error : m_bench.ProtocolErrors()) {
            ADD_FAILURE() << error.timeMs << " ms: " << error.text;
        }
    }

private:
    static BenchConfig Config(PulseTrain button, PulseTrain custom) {
        BoxConfig box;
        box.ttlDevices = {{kDispenserPort, TtlDevice::PelletDispenser}};
        box.inputs = {InputSource{kTesterPort, 1, button}, InputSource{kCustomPort, 1, custom}};
        BenchConfig config;
        config.boxes.push_back(box);
        return config;
    }

    void Add(std::int32_t port, std::int32_t type, std::int32_t id) {
        ASSERT_TRUE(
            m_setup->AddDevice(0, port,
                               std::make_unique<TCHiIobDevice>(
                                   m_setup.get(), "device " + std::to_string(id), type, -1, id)));
    }

    std::int64_t ReadCount(std::int32_t device, std::int32_t signal) {
        tagTECKavexIdtHiValue record{};
        m_setup->ReceiveSignal(device, signal, record);
        EXPECT_EQ(record.m_eType, eKavexIdtHiVtLongLong);
        return record.m_lValueLongLong;
    }

    bool ReadLevel(std::int32_t device, std::int32_t signal) {
        tagTECKavexIdtHiValue record{};
        m_setup->ReceiveSignal(device, signal, record);
        EXPECT_EQ(record.m_eType, eKavexIdtHiVtBool);
        return record.m_bValueBoolean != 0;
    }

    // Sums the differential counts, and checks the levels of lines that have kept still for
    // kSettleMs: a lost edge leaves a stale level until the line moves again.
    void ReadSignals() {
        m_counts.presses += ReadCount(kTester, kButton1Presses);
        m_counts.drops += ReadCount(kDispenser, kNumberOfDrops);
        m_counts.customFalls += ReadCount(kCustom, kInput1FallingCount);
        m_counts.customRises += ReadCount(kCustom, kInput1RisingCount);

        const std::uint32_t now = m_clock.NowMs();
        const InputEdgeCounts button = Box().InputEdges(kTesterPort, 1);
        const InputEdgeCounts custom = Box().InputEdges(kCustomPort, 1);
        if (Moved(m_button, button, now) >= kSettleMs) {
            EXPECT_EQ(ReadLevel(kTester, kIsButton1Pressed), !Box().InputLevel(kTesterPort, 1))
                << "at " << m_bench.NowMs() << " ms";
        }
        if (Moved(m_custom, custom, now) >= kSettleMs) {
            EXPECT_EQ(ReadLevel(kCustom, kIsInput1High), Box().InputLevel(kCustomPort, 1))
                << "at " << m_bench.NowMs() << " ms";
        }
    }

    struct LastMove {
        InputEdgeCounts edges;
        std::uint32_t atMs = 0;
    };

    // How long, at least, the line has kept still.
    static std::uint32_t Moved(LastMove& last, const InputEdgeCounts& edges, std::uint32_t now) {
        if (!(edges == last.edges)) {
            last = {edges, now};
        }
        return now - last.atMs;
    }

    TempRegistry m_registry{""};
    zentrix::VirtualClock m_clock;
    zentrix::sim::SimulatedBench m_bench;
    BenchTransport m_transport;
    std::unique_ptr<TCHiIobHardwareSetup> m_setup;
    HostCounts m_counts;
    LastMove m_button;
    LastMove m_custom;
    std::uint32_t m_dropsCommanded = 0;
};

// The two trains start 3 ms further apart every cycle, so the custom input's edges sweep through
// the passes that the button's edges set off; every start phase over more than an active period.
class EdgeCounting : public ::testing::TestWithParam<Transport> {};

TEST_P(EdgeCounting, EveryEdgeOfTwoGroupsMovingTogetherIsCountedWhateverThePhase) {
    constexpr std::uint32_t kPhases = 80;
    for (std::uint32_t phase = 0; phase < kPhases; ++phase) {
        SCOPED_TRACE("sampler started " + std::to_string(phase) + " ms later");
        EdgeBench bench(GetParam(), PulseTrain{600, 300, 0}, PulseTrain{603, 300, 0}, phase);
        // Long enough for four cycles however little time configuring took.
        bench.Run(3000);
        bench.Freeze();
        bench.ExpectCountsMatchTheInputs();
        bench.ExpectNoProtocolErrors();
        EXPECT_GE(bench.Box().InputEdges(kTesterPort, 1).falls, 4u);
        EXPECT_GE(bench.Box().InputEdges(kCustomPort, 1).rises, 4u);
        if (HasFailure()) {
            break;
        }
    }
}

TEST_P(EdgeCounting, LongRunCountsEveryPressDropAndEdgeTheBenchProduced) {
    EdgeBench bench(GetParam(), PulseTrain{700, 300, 0}, PulseTrain{450, 200, 0}, 0);
    bench.Run(60000, 500);
    // The last drop ends before the inputs are held still.
    bench.Run(kSettleMs);
    bench.Freeze();
    bench.ExpectCountsMatchTheInputs();
    EXPECT_EQ(bench.Box().PelletsDropped(kDispenserPort), bench.DropsCommanded());
    EXPECT_EQ(bench.Counts().drops, static_cast<std::int64_t>(bench.DropsCommanded()));
    EXPECT_GE(bench.DropsCommanded(), 119u);
    EXPECT_GE(bench.Counts().presses, 85);
    EXPECT_GE(bench.Counts().customRises, 133);
    bench.ExpectNoProtocolErrors();
}

INSTANTIATE_TEST_SUITE_P(Transports, EdgeCounting,
                         ::testing::Values(Transport::Simulator, Transport::KernelDriver),
                         TransportName);

}  // namespace
