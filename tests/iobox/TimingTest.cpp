// The waits a box samples with, as the setup chooses them, and the order of a pass: flagged inputs
// are read between the slow steps, so that presses shorter than a whole pass are counted.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "iobox/IOBox.h"
#include "model/Catalog.h"
#include "model/Device.h"
#include "setup/HardwareSetup.h"
#include "simulator/SimulatedBench.h"
#include "support/LogFile.h"
#include "support/PinnedTiming.h"
#include "support/TempDir.h"

namespace {

using zentrix::Timing;
using zentrix::sim::BenchConfig;
using zentrix::sim::BoxConfig;
using zentrix::sim::InputSource;
using zentrix::sim::PulseTrain;
using zentrix::sim::SdiBoard;

constexpr std::int32_t kTester = 1;
constexpr std::int32_t kTopUnit = 2;
constexpr std::int32_t kFirstLickometer = 10;
constexpr std::int32_t kTesterPort = 3;
constexpr std::int32_t kTopUnitPort = 13;
constexpr int kFirstLickometerSdi = 7;
constexpr std::int32_t kButton1Presses = 0;

struct BoxPlan {
    const char* timing = "auto";
    std::uint32_t lateSelectUs = 0;
    PulseTrain button{1000, 100, 0};
    int lickometers = 1;
};

// One box with a TTL port tester, a top unit and lickometers, sampled on this thread on virtual
// time as the sampling thread does it: the passes, then the wait between periods.
class TimingBench {
public:
    explicit TimingBench(const BoxPlan& plan)
        : m_timing(plan.timing), m_bench(Config(plan), m_clock) {
        m_setup = std::make_unique<TCHiIobHardwareSetup>(m_bench, m_clock);
        m_setup->ChangeDevices([&] {
            Add(kTesterPort, eDeviceTypeTtlPortTester, -1, kTester);
            Add(kTopUnitPort, eDeviceTypeTopUnitStandard, 1, kTopUnit);
            for (int i = 0; i < plan.lickometers; ++i) {
                Add(12 + kFirstLickometerSdi + i, eDeviceTypeLickometer, -1, kFirstLickometer + i);
            }
        });
    }
    ~TimingBench() {
        if (m_sampling) {
            m_setup->EndSampling();
        }
    }
    TimingBench(const TimingBench&) = delete;
    TimingBench& operator=(const TimingBench&) = delete;

    TCHiIobIOBox& Box() { return *m_setup->FindIOBox(0); }
    zentrix::sim::SimulatedIoBox& Simulated() { return m_bench.Box(0); }
    zentrix::VirtualClock& Clock() { return m_clock; }
    TCHiIobHardwareSetup& Setup() { return *m_setup; }

    void Begin() {
        m_fallsBefore = Simulated().InputEdges(kTesterPort, 1).falls;
        m_setup->BeginSampling();
        m_sampling = true;
    }
    // The presses the bench made since sampling began.
    std::int64_t PressesMade() {
        return static_cast<std::int64_t>(Simulated().InputEdges(kTesterPort, 1).falls -
                                         m_fallsBefore);
    }

    void Period() {
        const std::uint64_t startUs = m_clock.NowUs();
        m_setup->SampleInputs(true);
        m_setup->SampleOutputs(true);
        if (Box().GetTiming() == Timing::Spec) {
            m_clock.SleepMs(zentrix::kSpecPeriodGapMs);
        } else if (m_clock.NowUs() < startUs + zentrix::kLeanShortestPeriodUs) {
            m_clock.SleepUs(static_cast<std::uint32_t>(startUs + zentrix::kLeanShortestPeriodUs -
                                                       m_clock.NowUs()));
        }
    }

    // Samples for `milliseconds`, summing the presses the host reads.
    void Run(std::uint32_t milliseconds) {
        const std::uint32_t end = m_clock.NowMs() + milliseconds;
        while (static_cast<std::int32_t>(end - m_clock.NowMs()) > 0) {
            Period();
            m_presses += ReadPresses();
        }
    }

    // Holds the button released, lets the passes see it, and reads what is left.
    void Freeze() {
        Simulated().DriveInput(kTesterPort, 1, true);
        Run(200);
    }

    std::int64_t Presses() const { return m_presses; }

    std::size_t ProtocolErrorCount() { return m_bench.ProtocolErrors().size(); }
    // The first few, for a failure message.
    std::string ProtocolErrorText() {
        std::string text;
        for (const auto& error : m_bench.ProtocolErrors()) {
            if (text.size() < 400) {
                text += std::to_string(error.timeMs) + " ms: " + error.text + "\n";
            }
        }
        return text;
    }
    void ClearProtocolErrors() { Simulated().ClearProtocolErrors(); }

private:
    static BenchConfig Config(const BoxPlan& plan) {
        BoxConfig box;
        box.lateSelectUs = plan.lateSelectUs;
        box.sdiBoards[1] = SdiBoard::TopUnitInterface;
        for (int i = 0; i < plan.lickometers; ++i) {
            box.sdiBoards[kFirstLickometerSdi + i] = SdiBoard::Lickometer;
        }
        box.inputs = {InputSource{kTesterPort, 1, plan.button}};
        BenchConfig config;
        config.boxes.push_back(box);
        return config;
    }

    void Add(std::int32_t port, std::int32_t type, std::int32_t position, std::int32_t id) {
        ASSERT_TRUE(m_setup->AddDevice(
            0, port,
            std::make_unique<TCHiIobDevice>(m_setup.get(), "device " + std::to_string(id), type,
                                            position, id)));
    }

    std::int64_t ReadPresses() {
        tagTECKavexIdtHiValue record{};
        m_setup->ReceiveSignal(kTester, kButton1Presses, record);
        return record.m_eType == eKavexIdtHiVtLongLong ? record.m_lValueLongLong : 0;
    }

    zentrix::testing::TempRegistry m_registry{""};
    zentrix::testing::PinnedTiming m_timing;
    zentrix::VirtualClock m_clock;
    zentrix::sim::SimulatedBench m_bench;
    std::unique_ptr<TCHiIobHardwareSetup> m_setup;
    bool m_sampling = false;
    std::uint64_t m_fallsBefore = 0;
    std::int64_t m_presses = 0;
};

TEST(TimingChoice,
     AutoSamplesWithLeanWaitsWhereEveryReadBackMatchesAndAnIdlePeriodWaitsForNothing) {
    TimingBench lean(BoxPlan{"auto"});
    EXPECT_EQ(lean.Box().GetTiming(), Timing::Lean);
    // The input expander three times over, and the top unit's expander.
    EXPECT_EQ(lean.Box().GetTimingReason(),
              "lean waits: all 48 read-backs with lean waits matched");
    EXPECT_EQ(lean.ProtocolErrorCount(), 0u);
    lean.Begin();
    lean.Simulated().DriveInput(kTesterPort, 1, true);
    lean.Period();
    const std::uint32_t leanStart = lean.Clock().NowMs();
    lean.Setup().SampleInputs(true);
    lean.Setup().SampleOutputs(true);
    EXPECT_EQ(lean.Clock().NowMs(), leanStart) << "a read of the pins that was answered waits";

    TimingBench spec(BoxPlan{"spec"});
    EXPECT_EQ(spec.Box().GetTiming(), Timing::Spec);
    EXPECT_EQ(spec.Box().GetTimingReason(), "spec waits, as ZENTRIX_TIMING=spec asks");
    spec.Begin();
    spec.Simulated().DriveInput(kTesterPort, 1, true);
    spec.Period();
    const std::uint32_t specStart = spec.Clock().NowMs();
    spec.Setup().SampleInputs(true);
    spec.Setup().SampleOutputs(true);
    // The read of the pins: its request and its reply, 2 ms after each.
    EXPECT_EQ(spec.Clock().NowMs() - specStart, 4u);
}

TEST(TimingChoice, AutoFallsBackToSpecWaitsOnABoxThatTakesSelectsLateAndThenCountsEveryPress) {
    const zentrix::testing::LogFile log("info");
    TimingBench bench(BoxPlan{"auto", 1000, PulseTrain{200, 100, 0, 1000, 9}});
    EXPECT_EQ(bench.Box().GetTiming(), Timing::Spec);
    const std::string& reason = bench.Box().GetTimingReason();
    EXPECT_EQ(reason.rfind("spec waits: ", 0), 0u) << reason;
    EXPECT_NE(reason.find("did not match"), std::string::npos) << reason;
    EXPECT_EQ(log.Lines({"warning: timing: IO box 0 samples with spec waits"}).size(), 2u)
        << log.Text();
    // The check's frames went astray; nothing after it does.
    EXPECT_GT(bench.ProtocolErrorCount(), 0u);
    bench.ClearProtocolErrors();
    bench.Begin();
    bench.Run(3000);
    bench.Freeze();
    EXPECT_EQ(bench.ProtocolErrorCount(), 0u) << bench.ProtocolErrorText();
    EXPECT_EQ(bench.Presses(), bench.PressesMade());
    EXPECT_EQ(bench.Presses(), 9);
}

TEST(TimingChoice, LeanWaitsForcedOnABoxThatTakesSelectsLateMisreadIt) {
    TimingBench bench(BoxPlan{"lean", 1000, PulseTrain{100, 40, 0}});
    EXPECT_EQ(bench.Box().GetTiming(), Timing::Lean);
    EXPECT_EQ(bench.Box().GetTimingReason(), "lean waits, as ZENTRIX_TIMING=lean asks, unverified");
    bench.ClearProtocolErrors();
    bench.Begin();
    bench.Run(500);
    EXPECT_GT(bench.ProtocolErrorCount(), 0u);
}

TEST(TimingChoice, ALateSelectWithinTheSpecWaitIsCaughtOnlyByTheLeanCheck) {
    // 1.9 ms is inside the protocol's 2 ms wait after a pin report and far outside lean waits.
    TimingBench bench(BoxPlan{"auto", 1900});
    EXPECT_EQ(bench.Box().GetTiming(), Timing::Spec);
    bench.ClearProtocolErrors();
    bench.Begin();
    bench.Run(300);
    EXPECT_EQ(bench.ProtocolErrorCount(), 0u) << bench.ProtocolErrorText();
}

// A button whose presses are shorter than a round of lickometer reads, pressed at a pace that
// puts its presses at every phase of the rounds: each one is read between two lickometers.
TEST(InputsFirst, PressesShorterThanARoundOfSevenLickometerReadsAreAllCountedWithLeanWaits) {
    // From after the start of sampling (which reads every lickometer once) for 6 s.
    TimingBench bench(BoxPlan{"lean", 0, PulseTrain{23, 8, 0, 1000, 260}, 7});
    bench.Begin();
    bench.Run(7000);
    bench.Freeze();
    EXPECT_EQ(bench.ProtocolErrorCount(), 0u) << bench.ProtocolErrorText();
    EXPECT_EQ(bench.Presses(), bench.PressesMade());
    EXPECT_EQ(bench.Presses(), 260);
}

TEST(InputsFirst, PressesOfFortyFiveMillisecondsAreAllCountedWithSpecWaitsAndSevenLickometers) {
    TimingBench bench(BoxPlan{"spec", 0, PulseTrain{101, 45, 0, 1000, 60}, 7});
    bench.Begin();
    bench.Run(7000);
    bench.Freeze();
    EXPECT_EQ(bench.ProtocolErrorCount(), 0u) << bench.ProtocolErrorText();
    EXPECT_EQ(bench.Presses(), bench.PressesMade());
    EXPECT_EQ(bench.Presses(), 60);
}

}  // namespace
