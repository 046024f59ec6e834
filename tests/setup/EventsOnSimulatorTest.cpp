// The events a host gets are checked against what the simulated box itself logged: every input
// edge once per signal of the line, with its true time inside the event's window; every command
// and pulse end at the write that reached the line; every lick the lickometer answered. Run on
// virtual time over a sweep of start phases, through the simulator's library and through the
// kernel-driver backend.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "iobox/IOBox.h"
#include "model/Catalog.h"
#include "model/Device.h"
#include "model/DeviceType.h"
#include "sampling/EventBuffer.h"
#include "setup/HardwareSetup.h"
#include "simulator/SimulatedBench.h"
#include "support/BenchTransport.h"
#include "support/TempDir.h"
#include "support/VirtualPasses.h"

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

constexpr std::int32_t kTester = 1;      // TTL 3: its button on line 1
constexpr std::int32_t kDispenser = 2;   // TTL 5
constexpr std::int32_t kCustom = 3;      // TTL 10: input 1 on line 1
constexpr std::int32_t kLickometer = 4;  // SDI 3
constexpr std::int32_t kTesterPort = 3;
constexpr std::int32_t kDispenserPort = 5;
constexpr std::int32_t kCustomPort = 10;
constexpr std::int32_t kLickometerSdi = 3;
constexpr std::int32_t kLickometerPort = 12 + kLickometerSdi;
constexpr std::int32_t kDropPellet = 0;
constexpr std::int32_t kNumberOfLicks = 0;

constexpr std::uint32_t kSettleMs = 300;
constexpr std::uint32_t kTakeEveryMs = 50;

struct LoggedChange {
    std::int64_t timeUs = 0;
    int level = 0;
};

class EventBench {
public:
    EventBench(Transport transport, std::uint32_t startDelayMs, bool keepEvents = true,
               std::uint32_t unplugAfterReports = 0)
        : m_bench(Config(m_dir.Path() / "lines.jsonl", unplugAfterReports), m_clock),
          m_transport(transport, m_bench, m_clock),
          m_setup(std::make_unique<TCHiIobHardwareSetup>(m_transport.Library(), m_clock)) {
        m_setup->ChangeDevices([this] {
            Add(kTesterPort, eDeviceTypeTtlPortTester, kTester);
            Add(kDispenserPort, eDeviceTypePelletDispenser, kDispenser);
            Add(kCustomPort, eDeviceTypeCustomHardware, kCustom);
            Add(kLickometerPort, eDeviceTypeLickometer, kLickometer);
        });
        if (keepEvents) {
            m_setup->KeepEvents();
        }
        m_clock.Advance(startDelayMs);
        m_setup->BeginSampling();
    }

    // The sampler's loop on this thread, taking the events as a host would every kTakeEveryMs.
    void Run(std::uint32_t milliseconds, std::uint32_t dropEveryMs = 0) {
        zentrix::testing::RunVirtualPasses(
            m_clock, *m_setup, {milliseconds, dropEveryMs, kTakeEveryMs},
            [this] {
                const auto passUs = static_cast<std::int64_t>(m_clock.NowUs());
                if (m_lastPassUs != 0) {
                    m_longestPeriodUs = std::max(m_longestPeriodUs, passUs - m_lastPassUs);
                }
                m_lastPassUs = passUs;
            },
            [this] {
                EXPECT_TRUE(m_setup->SendCommand(kDispenser, kDropPellet));
                ++m_dropsCommanded;
            },
            [this] { Take(); });
    }

    // Holds the inputs still, lets the passes catch up and ends sampling.
    void Finish() {
        for (const std::int32_t port : {kTesterPort, kCustomPort}) {
            Box().DriveInput(port, 1, Box().InputLevel(port, 1));
        }
        Run(kSettleMs);
        m_setup->EndSampling();
        Take();
    }

    void Take() {
        std::vector<tagZentrixEvent> taken;
        m_setup->GetEvents(taken);
        m_events.insert(m_events.end(), taken.begin(), taken.end());
    }

    zentrix::sim::SimulatedIoBox& Box() { return m_bench.Box(0); }
    const std::vector<tagZentrixEvent>& Events() const { return m_events; }
    std::uint32_t DropsCommanded() const { return m_dropsCommanded; }

    std::vector<tagZentrixEvent> EventsOf(std::int32_t device, std::int32_t signal,
                                          std::int32_t command = -1) const {
        std::vector<tagZentrixEvent> of;
        std::copy_if(m_events.begin(), m_events.end(), std::back_inserter(of),
                     [&](const tagZentrixEvent& event) {
                         return event.m_iDeviceId == device &&
                                (signal < 0 || event.m_iSignalId == signal) &&
                                (command < 0 || event.m_iCommandId == command);
                     });
        return of;
    }

    // The changes of one line as the box logged them ("in" for inputs, "out" for outputs).
    std::vector<LoggedChange> Logged(std::int32_t port, std::int32_t line, const std::string& io) {
        std::vector<LoggedChange> changes;
        std::ifstream file(m_dir.Path() / "lines.jsonl");
        std::string text;
        while (std::getline(file, text)) {
            const auto entry = nlohmann::json::parse(text);
            if (entry["port"] == port && entry["line"] == line && entry["io"] == io) {
                changes.push_back(
                    {entry["t_ms"].get<std::int64_t>() * 1000, entry["level"].get<int>()});
            }
        }
        return changes;
    }

    // Every line signal that the device's line feeds has the line's edges as events, in order,
    // each with the true time of its edge inside its window.
    void ExpectEdgesOfTheLine(std::int32_t deviceId, std::int32_t port, std::int32_t line) {
        const std::vector<LoggedChange> edges = Logged(port, line, "in");
        ASSERT_GE(edges.size(), 8u) << "too few edges to say anything";
        const TCHiIobDevice* device = m_setup->FindIOBox(0)->GetDeviceById(deviceId);
        std::vector<const TCHiIobSignal*> signals;
        device->GetDeviceType()->GetSignalsOfSource(signals, eSignalSourceInput);
        std::size_t fed = 0;
        for (const TCHiIobSignal* signal : signals) {
            if (signal->GetKind() != eSignalKindLine || device->GetSignalLine(*signal) != line) {
                continue;
            }
            ++fed;
            SCOPED_TRACE("signal " + std::to_string(signal->GetId()));
            const std::vector<tagZentrixEvent> events = EventsOf(deviceId, signal->GetId());
            ASSERT_EQ(events.size(), edges.size());
            for (std::size_t i = 0; i < edges.size(); ++i) {
                const tagZentrixEvent& event = events[i];
                EXPECT_EQ(event.m_eKind, edges[i].level != 0 ? eZentrixEvRise : eZentrixEvFall);
                EXPECT_EQ(event.m_iLevel, edges[i].level);
                EXPECT_LE(event.m_nEarliestUs, edges[i].timeUs) << "edge " << i;
                EXPECT_GE(event.m_nTimeUs, edges[i].timeUs) << "edge " << i;
                // The read that shows an edge follows the last one that did not within a period
                // and the position of the read in it.
                if (event.m_nEarliestUs != 0) {
                    EXPECT_LE(event.m_nTimeUs - event.m_nEarliestUs, 2 * m_longestPeriodUs)
                        << "edge " << i;
                }
                EXPECT_NE(event.m_value.m_eType, eKavexIdtHiVtUndefined);
            }
        }
        EXPECT_GE(fed, 1u);
    }

    // The events of one command, and of the ends of its pulses, are the line's changes to and from
    // the commanded level, each at the write that made it.
    void ExpectCommandsOfTheLine(std::int32_t deviceId, std::int32_t commandId) {
        const TCHiIobDevice* device = m_setup->FindIOBox(0)->GetDeviceById(deviceId);
        const TCHiIobCommand* command = device->GetDeviceType()->FindCommand(commandId);
        const std::vector<LoggedChange> changes =
            Logged(kDispenserPort, device->GetCommandLine(*command), "out");
        std::vector<tagZentrixEvent> events = EventsOf(deviceId, -1, commandId);
        ASSERT_EQ(events.size(), changes.size());
        for (std::size_t i = 0; i < changes.size(); ++i) {
            const bool start = i % 2 == 0;
            EXPECT_EQ(events[i].m_eKind, start ? eZentrixEvCommand : eZentrixEvPulseEnd);
            EXPECT_EQ(events[i].m_iLevel, changes[i].level);
            EXPECT_EQ(changes[i].level,
                      start ? (command->GetLevel() ? 1 : 0) : (command->GetLevel() ? 0 : 1));
            EXPECT_LE(events[i].m_nEarliestUs, changes[i].timeUs) << "change " << i;
            EXPECT_GE(events[i].m_nTimeUs, changes[i].timeUs) << "change " << i;
        }
    }

    std::u16string Serial() { return m_setup->FindIOBox(0)->GetSerialNumber(); }

    void ExpectInTimeOrderBetweenStartAndStop() {
        ASSERT_GE(m_events.size(), 3u);
        EXPECT_EQ(m_events.front().m_eKind, eZentrixEvSamplingStarted);
        EXPECT_EQ(m_events[1].m_eKind, eZentrixEvBoxState);
        EXPECT_EQ(m_events[1].m_iIODeviceId, 0);
        EXPECT_EQ(m_events.back().m_eKind, eZentrixEvSamplingStopped);
        EXPECT_TRUE(std::is_sorted(m_events.begin(), m_events.end(),
                                   [](const tagZentrixEvent& a, const tagZentrixEvent& b) {
                                       return a.m_nTimeUs < b.m_nTimeUs;
                                   }));
        for (const tagZentrixEvent& event : m_events) {
            EXPECT_NE(event.m_eKind, eZentrixEvDropped);
        }
    }

    void ExpectNoProtocolErrors() {
        for (const auto& error : m_bench.ProtocolErrors()) {
            ADD_FAILURE() << error.timeMs << " ms: " << error.text;
        }
    }

private:
    static BenchConfig Config(const std::filesystem::path& log, std::uint32_t unplugAfterReports) {
        BoxConfig box;
        box.ttlDevices = {{kDispenserPort, TtlDevice::PelletDispenser}};
        box.sdiBoards = {{kLickometerSdi, SdiBoard::Lickometer}};
        box.inputs = {InputSource{kTesterPort, 1, PulseTrain{600, 300, 0}},
                      InputSource{kCustomPort, 1, PulseTrain{457, 200, 0}}};
        box.licks = {LickSource{kLickometerSdi, 5.0, 40}};
        box.faults.unplugAfterReports = unplugAfterReports;
        BenchConfig config;
        config.eventLog = log.string();
        config.boxes.push_back(box);
        return config;
    }

    void Add(std::int32_t port, std::int32_t type, std::int32_t id) {
        ASSERT_TRUE(
            m_setup->AddDevice(0, port,
                               std::make_unique<TCHiIobDevice>(
                                   m_setup.get(), "device " + std::to_string(id), type, -1, id)));
    }

    TempRegistry m_registry{""};
    TempDir m_dir;
    zentrix::VirtualClock m_clock;
    zentrix::sim::SimulatedBench m_bench;
    BenchTransport m_transport;
    std::unique_ptr<TCHiIobHardwareSetup> m_setup;
    std::vector<tagZentrixEvent> m_events;
    std::uint32_t m_dropsCommanded = 0;
    std::int64_t m_lastPassUs = 0;
    std::int64_t m_longestPeriodUs = 0;
};

class Events : public ::testing::TestWithParam<Transport> {};

TEST_P(Events, EveryEdgeCommandAndLickIsAnEventAtItsTrueTimeWhateverThePhase) {
    for (std::uint32_t phase = 0; phase < 40; phase += 3) {
        SCOPED_TRACE("sampler started " + std::to_string(phase) + " ms later");
        EventBench bench(GetParam(), phase);
        bench.Run(3000, 400);
        bench.Run(kSettleMs);
        bench.Finish();
        bench.ExpectInTimeOrderBetweenStartAndStop();
        EXPECT_EQ(bench.Serial(), u"00001001");
        bench.ExpectEdgesOfTheLine(kTester, kTesterPort, 1);
        bench.ExpectEdgesOfTheLine(kCustom, kCustomPort, 1);
        bench.ExpectCommandsOfTheLine(kDispenser, kDropPellet);
        EXPECT_EQ(bench.Box().PelletsDropped(kDispenserPort), bench.DropsCommanded());

        const std::vector<tagZentrixEvent> licks = bench.EventsOf(kLickometer, kNumberOfLicks);
        std::int64_t counted = 0;
        for (const tagZentrixEvent& event : licks) {
            EXPECT_EQ(event.m_eKind, eZentrixEvDataChange);
            ASSERT_EQ(event.m_change.m_eType, eKavexIdtHiVtLongLong);
            EXPECT_GT(event.m_change.m_lValueLongLong, 0);
            counted += event.m_change.m_lValueLongLong;
            EXPECT_EQ(event.m_value.m_lValueLongLong, counted);
            EXPECT_LE(event.m_nEarliestUs, event.m_nTimeUs);
        }
        EXPECT_GE(counted, 5);
        EXPECT_EQ(counted,
                  static_cast<std::int64_t>(bench.Box().ReportedLicks(kLickometerSdi).licks));
        bench.ExpectNoProtocolErrors();
        if (HasFailure()) {
            break;
        }
    }
}

TEST_P(Events, AHostThatNeverAsksForEventsKeepsNone) {
    EventBench bench(GetParam(), 0, false);
    bench.Run(2000, 400);
    bench.Finish();
    EXPECT_TRUE(bench.Events().empty());
    EXPECT_GT(bench.DropsCommanded(), 0u);
}

TEST_P(Events, AnUnpluggedBoxSaysSoOnceAndFallsSilent) {
    EventBench bench(GetParam(), 0, true, 400);
    bench.Run(2000, 100);
    bench.Finish();
    const auto& events = bench.Events();
    const auto lost = std::find_if(events.begin(), events.end(), [](const tagZentrixEvent& event) {
        return event.m_eKind == eZentrixEvBoxLost;
    });
    ASSERT_NE(lost, events.end());
    EXPECT_EQ(lost->m_iIODeviceId, 0);
    EXPECT_EQ(std::count_if(
                  events.begin(), events.end(),
                  [](const tagZentrixEvent& event) { return event.m_eKind == eZentrixEvBoxLost; }),
              1);
    // After it only the session's stop.
    EXPECT_EQ(std::next(lost) + 1, events.end());
    EXPECT_EQ(events.back().m_eKind, eZentrixEvSamplingStopped);
}

INSTANTIATE_TEST_SUITE_P(Transports, Events,
                         ::testing::Values(Transport::Simulator, Transport::KernelDriver),
                         TransportName);

tagZentrixEvent EventAt(std::int64_t timeUs) {
    return MakeZentrixEvent(eZentrixEvRise, 7, timeUs);
}

TEST(EventBuffer, AFullBufferCountsWhatItLosesAsOneGapAndStartsAfreshOnceTaken) {
    TCHiIobEventBuffer buffer(3);
    std::vector<tagZentrixEvent> events{EventAt(1), EventAt(2)};
    buffer.Append(events);
    EXPECT_TRUE(events.empty());
    events = {EventAt(3), EventAt(4), EventAt(5)};
    buffer.Append(events);
    events = {EventAt(6)};
    buffer.Append(events);

    std::vector<tagZentrixEvent> taken;
    buffer.TakeAll(taken);
    ASSERT_EQ(taken.size(), 4u);
    EXPECT_EQ(taken[0].m_nTimeUs, 1);
    EXPECT_EQ(taken[2].m_nTimeUs, 3);
    EXPECT_EQ(taken[3].m_eKind, eZentrixEvDropped);
    EXPECT_EQ(taken[3].m_nCount, 3);
    EXPECT_EQ(taken[3].m_nTimeUs, 4);
    EXPECT_EQ(taken[3].m_iIODeviceId, 7);

    events = {EventAt(8)};
    buffer.Append(events);
    taken.clear();
    buffer.TakeAll(taken);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].m_nTimeUs, 8);
}

}  // namespace
