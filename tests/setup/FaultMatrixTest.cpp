// Hardware faults at every report exchange of a start of sampling, one sampler period and a stop,
// on a two-box bench: box 0 is unplugged, answers short or throws at one exchange after another,
// and each time the host's calls, box 1's counts and box 0's detachment must come out as the
// failure rules say, within the time the retry ladder allows. Also: a bouncing input is counted
// exactly as the levels the passes read dictate.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "model/Catalog.h"
#include "model/Device.h"
#include "platform/IoWarriorLibrary.h"
#include "setup/HardwareSetup.h"
#include "simulator/SimulatedBench.h"
#include "support/PinnedTiming.h"
#include "support/TempDir.h"

namespace {

using zentrix::IowHandle;
using zentrix::sim::BenchConfig;
using zentrix::sim::BoxConfig;
using zentrix::sim::FaultConfig;
using zentrix::sim::InputEdgeCounts;
using zentrix::sim::InputSource;
using zentrix::sim::LickSource;
using zentrix::sim::PulseTrain;
using zentrix::sim::SdiBoard;
using zentrix::sim::SimulatedIoBox;
using zentrix::sim::TtlDevice;

// One report exchange whose transfer never completes: four attempts with timeouts of 1000, 1000,
// 10000 and 10000 ms, each followed by a 2 ms sleep.
constexpr std::uint64_t kWorstExchangeMs = 1000 + 1000 + 10000 + 10000 + 4 * 2;
constexpr std::uint32_t kLadderAttempts = 4;

// Both boxes: a TTL port tester on TTL 3 and custom hardware on TTL 10, whose input line 1 the
// test toggles, and a pellet dispenser on TTL 5; box 0 also has a lickometer on SDI 3.
constexpr std::int32_t kTesterPort = 3;
constexpr std::int32_t kDispenserPort = 5;
constexpr std::int32_t kCustomPort = 10;
constexpr std::int32_t kLickometerPortId = 15;
constexpr std::int32_t kTester0 = 1;
constexpr std::int32_t kDispenser0 = 2;
constexpr std::int32_t kCustom0 = 3;
constexpr std::int32_t kLickometer0 = 4;
constexpr std::int32_t kTester1 = 11;
constexpr std::int32_t kDispenser1 = 12;
constexpr std::int32_t kCustom1 = 13;
constexpr std::int32_t kUnknownDevice = 99;

constexpr std::int32_t kButton1Presses = 0;
constexpr std::int32_t kIsButton1Pressed = 2;
constexpr std::int32_t kNumberOfDrops = 0;
constexpr std::int32_t kNumberOfLicks = 0;
constexpr std::int32_t kInput1FallingCount = 0;
constexpr std::int32_t kInput1RisingCount = 1;
constexpr std::int32_t kLight1On = 1;
constexpr std::int32_t kLight2On = 3;
constexpr std::int32_t kDropPellet = 0;
constexpr std::int32_t kOutput1High = 1;
constexpr std::int32_t kOutput1Low = 0;
constexpr std::int32_t kNoSuchCommand = 77;

// Longer than the lickometer's 2000 ms period, so that its counters are read in the next pass.
constexpr std::uint32_t kPastSlowPeriodMs = 2001;

enum Phase { kBegin = 0, kPeriod = 1, kEnd = 2, kPhaseCount = 3 };
constexpr const char* kPhaseNames[] = {"BeginSampling", "the sampler period", "EndSampling"};

struct Exchange {
    bool read = false;
    // The reply of a register read or a lickometer read: the only reads whose failure the input
    // pass answers by detaching the box.
    bool inputRead = false;
    // The reply of a read of the pins, which flags the input registers to read: when it fails
    // every register counts as flagged.
    bool pinsRead = false;
    Phase phase = kBegin;
};

bool IsRegisterReadCommand(std::uint8_t command) {
    return command == 0xC4 || command == 0xCC || command == 0xD4 || command == 0xDC;
}

// Forwards to the bench, numbers box 0's report exchanges from the library's opening, notes what
// each one was, and puts a fault on the box just before the exchange with a chosen number.
class FaultingLibrary final : public zentrix::IoWarriorLibrary {
public:
    FaultingLibrary(zentrix::sim::SimulatedBench& bench) : m_bench(bench) {}

    Phase phase = kBegin;
    bool recording = false;
    std::vector<Exchange> exchanges;

    void FaultBefore(std::uint64_t exchange, const FaultConfig& faults) {
        m_faultAt = exchange;
        m_faults = faults;
    }
    std::uint64_t Exchanges() const { return m_count; }
    // Report exchanges of every box while the phase was EndSampling.
    std::size_t EndExchanges() const { return m_endExchanges; }

    IowHandle OpenDevice() override { return m_bench.OpenDevice(); }
    void CloseDevice(IowHandle handle) override { m_bench.CloseDevice(handle); }
    std::int32_t GetNumDevs() override { return m_bench.GetNumDevs(); }
    IowHandle GetDeviceHandle(std::int32_t number) override {
        const IowHandle handle = m_bench.GetDeviceHandle(number);
        if (number == 1) {
            m_box0 = handle;
        }
        return handle;
    }
    bool GetSerialNumber(IowHandle handle, char16_t* serial) override {
        return m_bench.GetSerialNumber(handle, serial);
    }
    std::uint32_t GetProductId(IowHandle handle) override { return m_bench.GetProductId(handle); }
    std::uint32_t Write(IowHandle handle, std::uint32_t pipe, const std::uint8_t* buffer,
                        std::uint32_t length) override {
        CountEnd();
        if (handle == m_box0 && buffer != nullptr) {
            Count(false);
            if (pipe == zentrix::kIowPipeSpecialMode && length >= 7) {
                std::copy(buffer, buffer + 7, m_lastSpecial.begin());
            }
        }
        return m_bench.Write(handle, pipe, buffer, length);
    }
    std::uint32_t Read(IowHandle handle, std::uint32_t pipe, std::uint8_t* buffer,
                       std::uint32_t length) override {
        CountEnd();
        if (handle == m_box0 && buffer != nullptr) {
            Count(true);
        }
        return m_bench.Read(handle, pipe, buffer, length);
    }
    void SetWriteTimeout(IowHandle handle, std::uint32_t ms) override {
        m_bench.SetWriteTimeout(handle, ms);
    }
    void SetTimeout(IowHandle handle, std::uint32_t ms) override { m_bench.SetTimeout(handle, ms); }

private:
    void CountEnd() {
        if (recording && phase == kEnd) {
            ++m_endExchanges;
        }
    }

    void Count(bool read) {
        if (m_faultAt == m_count) {
            m_bench.Box(0).SetFaults(m_faults);
        }
        ++m_count;
        if (!recording) {
            return;
        }
        Exchange exchange;
        exchange.read = read;
        exchange.phase = phase;
        // A 4-byte SPI frame that sends a read command, or only zeros (the last frame of a chain
        // of register reads, or the lickometer's read), is answered with input levels or counts.
        const bool spiFrame = m_lastSpecial[0] == 0x09 && m_lastSpecial[1] == 4 &&
                              m_lastSpecial[4] == 0 && m_lastSpecial[5] == 0 &&
                              m_lastSpecial[6] == 0;
        exchange.inputRead =
            read && spiFrame && (m_lastSpecial[3] == 0 || IsRegisterReadCommand(m_lastSpecial[3]));
        exchange.pinsRead = read && m_lastSpecial[0] == 0xFF;
        exchanges.push_back(exchange);
    }

    zentrix::sim::SimulatedBench& m_bench;
    IowHandle m_box0 = nullptr;
    std::uint64_t m_count = 0;
    std::optional<std::uint64_t> m_faultAt;
    FaultConfig m_faults;
    std::array<std::uint8_t, 7> m_lastSpecial{};
    std::size_t m_endExchanges = 0;
};

enum class FaultKind { None, Unplug, ShortReads, ThrowingRead };

struct FaultCase {
    FaultKind kind = FaultKind::None;
    // Unplug: the first exchange that fails, counted from the start of BeginSampling. Short reads
    // and throws: the read that meets them, counted over the reads only.
    std::size_t at = 0;
    std::uint32_t shortReads = 0;
};

struct BoxCounts {
    std::int64_t presses = 0;
    std::int64_t customFalls = 0;
    std::int64_t customRises = 0;
    std::int64_t drops = 0;
};

BenchConfig TwoBoxes() {
    BenchConfig config;
    for (int id = 0; id < 2; ++id) {
        BoxConfig box;
        box.boxId = id;
        box.ttlDevices = {{kDispenserPort, TtlDevice::PelletDispenser}};
        if (id == 0) {
            box.sdiBoards = {{3, SdiBoard::Lickometer}};
            box.licks = {LickSource{3, 4.0, 40}};
        }
        config.boxes.push_back(box);
    }
    return config;
}

class FaultBench {
public:
    // `faultBefore` numbers an exchange of box 0 from the library's opening on, and may name one
    // of the setup's own start-up.
    explicit FaultBench(std::optional<std::pair<std::uint64_t, FaultConfig>> faultBefore = {})
        : m_bench(TwoBoxes(), m_clock), m_library(m_bench) {
        if (faultBefore) {
            m_library.FaultBefore(faultBefore->first, faultBefore->second);
        }
        m_setup = std::make_unique<TCHiIobHardwareSetup>(m_library, m_clock);
        m_setup->ChangeDevices([this] {
            Add(0, kTesterPort, eDeviceTypeTtlPortTester, kTester0);
            Add(0, kDispenserPort, eDeviceTypePelletDispenser, kDispenser0);
            Add(0, kCustomPort, eDeviceTypeCustomHardware, kCustom0);
            Add(0, kLickometerPortId, eDeviceTypeLickometer, kLickometer0);
            Add(1, kTesterPort, eDeviceTypeTtlPortTester, kTester1);
            Add(1, kDispenserPort, eDeviceTypePelletDispenser, kDispenser1);
            Add(1, kCustomPort, eDeviceTypeCustomHardware, kCustom1);
        });
    }

    FaultingLibrary& Library() { return m_library; }
    SimulatedIoBox& Box(int index) { return m_bench.Box(static_cast<std::size_t>(index)); }
    zentrix::sim::SimulatedBench& Bench() { return m_bench; }

    // BeginSampling, one sampler period and EndSampling, each with inputs moved and commands sent
    // before it, checking the host's calls after each. Returns the time EndSampling took.
    std::uint64_t RunMatrixPhases(const std::array<bool, kPhaseCount>& box0Connected) {
        // Every input starts at its idle level, where the start of sampling puts its count.
        const BoxCounts before = SimulatorCounts(1);
        m_clock.Advance(kPastSlowPeriodMs);
        MoveInputs();
        BoxCounts host;

        m_library.phase = kBegin;
        m_setup->BeginSampling();
        ExpectHostCalls(box0Connected[kBegin], kBegin);
        AddHostCounts(host);

        EXPECT_TRUE(m_setup->SendCommand(kTester0, kLight1On));
        EXPECT_TRUE(m_setup->SendCommand(kTester1, kLight1On));
        EXPECT_TRUE(m_setup->SendCommand(kDispenser0, kDropPellet));
        EXPECT_TRUE(m_setup->SendCommand(kDispenser1, kDropPellet));
        EXPECT_TRUE(m_setup->SendCommand(kCustom0, kOutput1High));
        EXPECT_TRUE(m_setup->SendCommand(kCustom1, kOutput1High));
        MoveInputs();
        m_clock.Advance(kPastSlowPeriodMs);
        m_library.phase = kPeriod;
        m_setup->SampleInputs(true);
        m_setup->SampleOutputs(true);
        ExpectHostCalls(box0Connected[kPeriod], kPeriod);
        AddHostCounts(host);

        EXPECT_TRUE(m_setup->SendCommand(kTester0, kLight2On));
        EXPECT_TRUE(m_setup->SendCommand(kTester1, kLight2On));
        EXPECT_TRUE(m_setup->SendCommand(kCustom0, kOutput1Low));
        EXPECT_TRUE(m_setup->SendCommand(kCustom1, kOutput1Low));
        m_library.phase = kEnd;
        const std::uint32_t endStart = m_clock.NowMs();
        m_setup->EndSampling();
        const std::uint64_t endMs = m_clock.NowMs() - endStart;
        ExpectHostCalls(box0Connected[kEnd], kEnd);
        AddHostCounts(host);

        // The drops commanded here reach the sensor only after EndSampling.
        ExpectBox1Counts(host, before, false, "over BeginSampling, the period and EndSampling");
        ExpectBox1OutputsAtDefault("after EndSampling");
        return endMs;
    }

    // A further start, a few periods with box 1's inputs moving and pellets dropped, and a stop;
    // the inputs are back at their idle levels from the matrix phases.
    void RunFollowUp(bool box0Connected, bool dropPulsesSampled) {
        // The drops commanded before have ended.
        m_clock.Advance(200);
        const BoxCounts before = SimulatorCounts(1);
        const std::uint32_t droppedBefore = Box(1).PelletsDropped(kDispenserPort);
        BoxCounts host;
        m_setup->BeginSampling();
        AddHostCounts(host);
        constexpr int kRounds = 3;
        for (int round = 0; round < kRounds; ++round) {
            MoveInputs(1);
            EXPECT_TRUE(m_setup->SendCommand(kDispenser1, kDropPellet));
            RunPeriods(150);
            AddHostCounts(host);
        }
        m_setup->EndSampling();
        ExpectBox1Counts(host, before, dropPulsesSampled, "over a later start of sampling");
        EXPECT_EQ(Box(1).PelletsDropped(kDispenserPort) - droppedBefore,
                  static_cast<std::uint32_t>(kRounds));
        if (dropPulsesSampled) {
            EXPECT_EQ(host.drops, kRounds);
        }
        EXPECT_EQ(m_setup->IsIODeviceConnected(0), box0Connected)
            << "box 0 after a later start of sampling";
        EXPECT_TRUE(m_setup->IsIODeviceConnected(1));
        ExpectBox1OutputsAtDefault("after the later EndSampling");
    }

    void ExpectNoProtocolErrors() {
        for (const auto& error : m_bench.ProtocolErrors()) {
            ADD_FAILURE() << "box " << error.boxId << " at " << error.timeMs
                          << " ms: " << error.text;
        }
    }

    zentrix::VirtualClock& Clock() { return m_clock; }

private:
    void Add(std::int32_t box, std::int32_t port, std::int32_t type, std::int32_t id) {
        ASSERT_TRUE(
            m_setup->AddDevice(box, port,
                               std::make_unique<TCHiIobDevice>(
                                   m_setup.get(), "device " + std::to_string(id), type, -1, id)));
    }

    // Flips the tester's button line and the custom hardware's input 1 (interrupt groups 0 and 2).
    void MoveInputs(int onlyBox = -1) {
        for (int box = 0; box < 2; ++box) {
            if (onlyBox >= 0 && box != onlyBox) {
                continue;
            }
            for (const std::int32_t port : {kTesterPort, kCustomPort}) {
                Box(box).DriveInput(port, 1, !Box(box).InputLevel(port, 1));
            }
        }
    }

    void RunPeriods(std::uint32_t milliseconds) {
        const std::uint32_t start = m_clock.NowMs();
        while (m_clock.NowMs() - start < milliseconds) {
            m_setup->SampleInputs(true);
            m_setup->SampleOutputs(true);
            m_clock.SleepMs(2);
        }
    }

    BoxCounts SimulatorCounts(int box) {
        const InputEdgeCounts button = Box(box).InputEdges(kTesterPort, 1);
        const InputEdgeCounts custom = Box(box).InputEdges(kCustomPort, 1);
        const InputEdgeCounts sensor = Box(box).InputEdges(kDispenserPort, 1);
        return BoxCounts{button.falls, custom.falls, custom.rises, sensor.falls};
    }

    std::int64_t ReadCount(std::int32_t device, std::int32_t signal) {
        tagTECKavexIdtHiValue record{};
        m_setup->ReceiveSignal(device, signal, record);
        EXPECT_EQ(record.m_eType, eKavexIdtHiVtLongLong) << "device " << device;
        return record.m_lValueLongLong;
    }

    void AddHostCounts(BoxCounts& counts) {
        counts.presses += ReadCount(kTester1, kButton1Presses);
        counts.customFalls += ReadCount(kCustom1, kInput1FallingCount);
        counts.customRises += ReadCount(kCustom1, kInput1RisingCount);
        counts.drops += ReadCount(kDispenser1, kNumberOfDrops);
    }

    void ExpectBox1Counts(const BoxCounts& host, const BoxCounts& before, bool drops,
                          const char* when) {
        const BoxCounts after = SimulatorCounts(1);
        EXPECT_EQ(host.presses, after.presses - before.presses) << "box 1 presses " << when;
        EXPECT_EQ(host.customFalls, after.customFalls - before.customFalls)
            << "box 1 falling edges " << when;
        EXPECT_EQ(host.customRises, after.customRises - before.customRises)
            << "box 1 rising edges " << when;
        if (drops) {
            EXPECT_EQ(host.drops, after.drops - before.drops) << "box 1 drops " << when;
        }
    }

    void ExpectBox1OutputsAtDefault(const char* when) {
        EXPECT_FALSE(Box(1).OutputLevel(kTesterPort, 1)) << "box 1 light 1 " << when;
        EXPECT_FALSE(Box(1).OutputLevel(kTesterPort, 2)) << "box 1 light 2 " << when;
        EXPECT_FALSE(Box(1).OutputLevel(kCustomPort, 1)) << "box 1 output 1 " << when;
        EXPECT_FALSE(Box(1).OutputLevel(kDispenserPort, 1)) << "box 1 dispenser " << when;
    }

    void ExpectHostCalls(bool box0Connected, Phase phase) {
        const std::string after = std::string("after ") + kPhaseNames[phase];
        EXPECT_TRUE(m_setup->SendCommand(kTester0, kNoSuchCommand)) << after;
        EXPECT_TRUE(m_setup->SendCommand(kCustom1, kNoSuchCommand)) << after;
        EXPECT_FALSE(m_setup->SendCommand(kUnknownDevice, kOutput1High)) << after;
        for (const std::int32_t tester : {kTester0, kTester1}) {
            tagTECKavexIdtHiValue record{};
            record.m_eType = static_cast<tagEKavexIdtHiValueType>(-2);
            m_setup->ReceiveSignal(tester, kIsButton1Pressed, record);
            EXPECT_EQ(record.m_eType, eKavexIdtHiVtBool) << "tester " << tester << " " << after;
        }
        tagTECKavexIdtHiValue licks{};
        m_setup->ReceiveSignal(kLickometer0, kNumberOfLicks, licks);
        EXPECT_EQ(licks.m_eType, eKavexIdtHiVtLongLong) << after;
        tagTECKavexIdtHiValue untouched{};
        untouched.m_eType = static_cast<tagEKavexIdtHiValueType>(-2);
        m_setup->ReceiveSignal(kUnknownDevice, 0, untouched);
        EXPECT_EQ(untouched.m_eType, static_cast<tagEKavexIdtHiValueType>(-2)) << after;
        EXPECT_EQ(m_setup->IsIODeviceConnected(0), box0Connected) << "box 0 " << after;
        EXPECT_TRUE(m_setup->IsIODeviceConnected(1)) << after;
        EXPECT_FALSE(m_setup->IsIODeviceConnected(7)) << after;
    }

    zentrix::testing::TempRegistry m_registry{""};
    // The matrix counts the exchanges and milliseconds of the protocol's waits.
    zentrix::testing::PinnedTiming m_timing{"spec"};
    zentrix::VirtualClock m_clock;
    zentrix::sim::SimulatedBench m_bench;
    FaultingLibrary m_library;
    std::unique_ptr<TCHiIobHardwareSetup> m_setup;
};

// The exchanges of box 0 in the three phases without faults, and where they start.
struct Baseline {
    std::uint64_t first = 0;
    std::vector<Exchange> exchanges;
    std::vector<std::size_t> reads;
    std::size_t endExchanges = 0;
    std::uint64_t endMs = 0;
};

const Baseline& FaultFreeRun() {
    static const Baseline baseline = [] {
        Baseline result;
        FaultBench bench;
        result.first = bench.Library().Exchanges();
        bench.Library().recording = true;
        result.endMs = bench.RunMatrixPhases({true, true, true});
        bench.Library().recording = false;
        bench.RunFollowUp(true, true);
        bench.ExpectNoProtocolErrors();
        result.exchanges = bench.Library().exchanges;
        result.endExchanges = bench.Library().EndExchanges();
        for (std::size_t i = 0; i < result.exchanges.size(); ++i) {
            if (result.exchanges[i].read) {
                result.reads.push_back(i);
            }
        }
        return result;
    }();
    return baseline;
}

// The failure rules: a read gives up after four short answers, or at once when it throws; only a
// register read or a lickometer read that gives up makes the pass detach the box, and it does so
// in that pass. Any other failed transfer is ignored. An unplugged box fails every later
// transfer, so it is detached by the first input read after it is unplugged, or by the first read
// of the pins, whose failure flags every input register for reading.
std::optional<Phase> DetachingPhase(const FaultCase& fault, const Baseline& baseline) {
    const auto& exchanges = baseline.exchanges;
    switch (fault.kind) {
        case FaultKind::Unplug:
            for (std::size_t i = fault.at; i < exchanges.size(); ++i) {
                if (exchanges[i].inputRead || exchanges[i].pinsRead) {
                    return exchanges[i].phase;
                }
            }
            return std::nullopt;
        case FaultKind::ShortReads:
        case FaultKind::ThrowingRead: {
            const Exchange& read = exchanges[baseline.reads[fault.at]];
            const bool givesUp =
                fault.kind == FaultKind::ThrowingRead || fault.shortReads >= kLadderAttempts;
            if (givesUp && read.inputRead) {
                return read.phase;
            }
            return std::nullopt;
        }
        case FaultKind::None:
            break;
    }
    return std::nullopt;
}

std::string Describe(const FaultCase& fault, const Baseline& baseline) {
    std::size_t exchange = fault.at;
    std::string what;
    switch (fault.kind) {
        case FaultKind::Unplug:
            what = "box 0 unplugged from exchange " + std::to_string(fault.at);
            break;
        case FaultKind::ShortReads:
            exchange = baseline.reads[fault.at];
            what = std::to_string(fault.shortReads) + " short reads from exchange " +
                   std::to_string(exchange);
            break;
        case FaultKind::ThrowingRead:
            exchange = baseline.reads[fault.at];
            what = "a read that throws at exchange " + std::to_string(exchange);
            break;
        case FaultKind::None:
            return "no fault";
    }
    const Exchange& hit = baseline.exchanges[exchange];
    return what + " (" + (hit.read ? (hit.inputRead ? "an input read" : "a read") : "a write") +
           " of " + kPhaseNames[hit.phase] + ")";
}

void RunCase(const FaultCase& fault) {
    const Baseline& baseline = FaultFreeRun();
    SCOPED_TRACE(Describe(fault, baseline));
    std::optional<std::pair<std::uint64_t, FaultConfig>> faultBefore;
    switch (fault.kind) {
        case FaultKind::Unplug:
            // One more report gets through after the faults are set: the one before the first to
            // fail (for the first exchange of BeginSampling, the last of the setup's start-up).
            faultBefore.emplace(baseline.first + fault.at - 1, FaultConfig{0, 0, 1});
            break;
        case FaultKind::ShortReads:
            faultBefore.emplace(baseline.first + baseline.reads[fault.at],
                                FaultConfig{fault.shortReads, 0, 0});
            break;
        case FaultKind::ThrowingRead:
            faultBefore.emplace(baseline.first + baseline.reads[fault.at], FaultConfig{0, 1, 0});
            break;
        case FaultKind::None:
            break;
    }
    FaultBench bench(faultBefore);
    ASSERT_EQ(bench.Library().Exchanges(), baseline.first);
    const std::optional<Phase> detached = DetachingPhase(fault, baseline);
    std::array<bool, kPhaseCount> connected{};
    for (int phase = 0; phase < kPhaseCount; ++phase) {
        connected[phase] = !detached || *detached > phase;
    }
    const std::uint64_t endMs = bench.RunMatrixPhases(connected);
    // StopSampler waits for the period in progress and then runs EndSampling: no fault makes
    // EndSampling exchange more reports than it does without faults, and none takes longer than
    // the whole ladder.
    EXPECT_LE(endMs, baseline.endExchanges * kWorstExchangeMs);
    if (fault.kind != FaultKind::Unplug) {
        // Faults the three phases did not use up would only slow the further start down.
        bench.Box(0).SetFaults(FaultConfig{});
    }
    // A reply given up on is read out before the next request, so box 0's later reads take their
    // own replies and its periods stay short enough for box 1's 60 ms drop pulses to be seen.
    bench.RunFollowUp(fault.kind != FaultKind::Unplug && !detached, true);
    bench.ExpectNoProtocolErrors();
}

TEST(FaultMatrix, TheFaultFreeRunReadsInputsInTheFirstTwoPhasesOnly) {
    const Baseline& baseline = FaultFreeRun();
    std::array<int, kPhaseCount> inputReads{};
    std::array<int, kPhaseCount> exchanges{};
    for (const Exchange& exchange : baseline.exchanges) {
        ++exchanges[exchange.phase];
        inputReads[exchange.phase] += exchange.inputRead ? 1 : 0;
    }
    EXPECT_GT(inputReads[kBegin], 0);
    EXPECT_GT(inputReads[kPeriod], 0);
    EXPECT_EQ(inputReads[kEnd], 0);
    EXPECT_GT(exchanges[kEnd], 0);
    // Without faults every exchange takes its 2 ms sleep only.
    EXPECT_EQ(baseline.endMs, 2u * baseline.endExchanges);
    EXPECT_FALSE(HasFailure());
}

TEST(FaultMatrix, EndSamplingWithEveryReadOfBox0TimingOutTakesTheWholeLadderPerReadAndNoMore) {
    const Baseline& baseline = FaultFreeRun();
    const auto firstEnd = static_cast<std::size_t>(
        std::find_if(baseline.exchanges.begin(), baseline.exchanges.end(),
                     [](const Exchange& exchange) { return exchange.phase == kEnd; }) -
        baseline.exchanges.begin());
    ASSERT_LT(firstEnd, baseline.exchanges.size());
    const auto endReads = static_cast<std::uint64_t>(std::count_if(
        baseline.exchanges.begin() + static_cast<std::ptrdiff_t>(firstEnd),
        baseline.exchanges.end(), [](const Exchange& exchange) { return exchange.read; }));
    ASSERT_GT(endReads, 0u);
    constexpr std::uint32_t kEveryRead = 1000000;
    FaultBench bench(std::make_pair(baseline.first + firstEnd, FaultConfig{kEveryRead, 0, 0}));
    const std::uint64_t endMs = bench.RunMatrixPhases({true, true, true});
    // Box 0's reads in EndSampling answer the replies of register writes, which nothing waits
    // for: each costs the whole ladder and the box stays attached; writes still take 2 ms.
    EXPECT_EQ(endMs, endReads * kWorstExchangeMs + (baseline.endExchanges - endReads) * 2);
    EXPECT_LE(endMs, baseline.endExchanges * kWorstExchangeMs);
    // Every request after a failed one first reads out the reply it may have left.
    EXPECT_EQ(bench.Box(0).Faults().shortReads,
              kEveryRead - endReads * kLadderAttempts - (endReads - 1));
    bench.ExpectNoProtocolErrors();
}

TEST(FaultMatrix, UnpluggingBox0AtAnyExchange) {
    const Baseline& baseline = FaultFreeRun();
    for (std::size_t at = 0; at < baseline.exchanges.size() && !HasFailure(); ++at) {
        RunCase(FaultCase{FaultKind::Unplug, at, 0});
    }
}

class FaultMatrixShortReads : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(FaultMatrixShortReads, StartingAtAnyRead) {
    const Baseline& baseline = FaultFreeRun();
    for (std::size_t read = 0; read < baseline.reads.size() && !HasFailure(); ++read) {
        RunCase(FaultCase{FaultKind::ShortReads, read, GetParam()});
    }
}

INSTANTIATE_TEST_SUITE_P(InARow, FaultMatrixShortReads, ::testing::Values(1u, 2u, 3u, 4u),
                         [](const ::testing::TestParamInfo<std::uint32_t>& param) {
                             return std::to_string(param.param);
                         });

TEST(FaultMatrix, AReadThrowingAtAnyRead) {
    const Baseline& baseline = FaultFreeRun();
    for (std::size_t read = 0; read < baseline.reads.size() && !HasFailure(); ++read) {
        RunCase(FaultCase{FaultKind::ThrowingRead, read, 0});
    }
}

}  // namespace

// One box with custom hardware on TTL 10 whose input 1 bounces: every edge toggles each
// millisecond for a while before it settles, so several edges fall within one sampler period.
class BouncingInputTest : public ::testing::Test {
protected:
    static constexpr std::int32_t kCustom = 1;
    // Input 1 of TTL 10 is pin 22: bit 2 of the register read with 0xD4.
    static constexpr std::uint8_t kReadCommand = 0xD4;
    static constexpr std::uint8_t kLineBit = 1U << 2;
    // Pressed every 300 ms for 150 ms; each edge bounces for 60 ms, longer than a period.
    static constexpr std::uint32_t kEveryMs = 300;

    BouncingInputTest() : m_bench(Config(), m_clock), m_setup(m_bench, m_clock) {
        m_setup.ChangeDevices([this] {
            ASSERT_TRUE(m_setup.AddDevice(
                0, kCustomPort,
                std::make_unique<TCHiIobDevice>(&m_setup, "bouncing", eDeviceTypeCustomHardware, -1,
                                                kCustom)));
        });
    }

    static BenchConfig Config() {
        BoxConfig box;
        box.inputs = {InputSource{kCustomPort, 1, PulseTrain{kEveryMs, 150, 60}}};
        BenchConfig config;
        config.boxes.push_back(box);
        return config;
    }

    // The input levels the passes took in, from the traffic: in a chain of register reads each
    // reply carries, in its byte 3, the register that the frame before it asked for.
    std::vector<bool> SampledLevels() {
        constexpr int kNoReadFrame = -1;
        std::vector<bool> levels;
        int frameCommand = kNoReadFrame;
        int previousCommand = kNoReadFrame;
        for (const auto& entry : m_bench.Box(0).Trace()) {
            if (entry.kind == zentrix::sim::TraceKind::Write &&
                entry.pipe == zentrix::kIowPipeSpecialMode) {
                const auto& bytes = entry.bytes;
                const bool readFrame = bytes[0] == 0x09 && bytes[1] == 4 && bytes[4] == 0 &&
                                       bytes[5] == 0 && bytes[6] == 0;
                frameCommand = readFrame ? bytes[3] : kNoReadFrame;
            } else if (entry.kind == zentrix::sim::TraceKind::Read &&
                       entry.pipe == zentrix::kIowPipeSpecialMode &&
                       entry.result == zentrix::kIow56SpecialReportSize) {
                if (previousCommand == kReadCommand && frameCommand != kNoReadFrame) {
                    levels.push_back((entry.bytes[3] & kLineBit) != 0);
                }
                previousCommand = frameCommand;
            }
        }
        return levels;
    }

    std::int64_t ReadCount(std::int32_t signal) {
        tagTECKavexIdtHiValue record{};
        m_setup.ReceiveSignal(kCustom, signal, record);
        EXPECT_EQ(record.m_eType, eKavexIdtHiVtLongLong);
        return record.m_lValueLongLong;
    }

    zentrix::testing::TempRegistry m_registry{""};
    zentrix::VirtualClock m_clock;
    zentrix::sim::SimulatedBench m_bench;
    TCHiIobHardwareSetup m_setup;
};

TEST_F(BouncingInputTest, EdgesAreCountedExactlyAsTheSampledLevelsDictate) {
    m_bench.Box(0).SetTraceEnabled(true);
    m_setup.BeginSampling();
    std::int64_t falls = 0;
    std::int64_t rises = 0;
    constexpr std::uint32_t kRunMs = 4000;
    const std::uint32_t start = m_clock.NowMs();
    while (m_clock.NowMs() - start < kRunMs) {
        m_setup.SampleInputs(true);
        m_setup.SampleOutputs(true);
        m_clock.SleepMs(2);
        falls += ReadCount(kInput1FallingCount);
        rises += ReadCount(kInput1RisingCount);
    }
    m_setup.EndSampling();

    // The count starts from the line's idle level, high.
    std::vector<bool> levels{true};
    const std::vector<bool> sampled = SampledLevels();
    levels.insert(levels.end(), sampled.begin(), sampled.end());
    std::int64_t sampledFalls = 0;
    std::int64_t sampledRises = 0;
    for (std::size_t i = 1; i < levels.size(); ++i) {
        sampledFalls += (levels[i - 1] && !levels[i]) ? 1 : 0;
        sampledRises += (!levels[i - 1] && levels[i]) ? 1 : 0;
    }
    EXPECT_EQ(falls, sampledFalls);
    EXPECT_EQ(rises, sampledRises);

    // The passes read some edges mid-bounce, so there are more falls than presses, but far fewer
    // than the line made.
    const InputEdgeCounts edges = m_bench.Box(0).InputEdges(kCustomPort, 1);
    const std::int64_t presses = kRunMs / kEveryMs;
    EXPECT_GT(sampledFalls, presses);
    EXPECT_LT(sampledFalls, static_cast<std::int64_t>(edges.falls));
    for (const auto& error : m_bench.ProtocolErrors()) {
        ADD_FAILURE() << error.timeMs << " ms: " << error.text;
    }
}
