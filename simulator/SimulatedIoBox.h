// One simulated IO box: the IO-Warrior 56 with its pin and special-mode reports, the input and
// output expanders on the box and the select lines to the boards behind the SDI ports. The devices
// on the TTL ports and behind the SDI ports are models of their own, which the box tells what the
// wire did to them and asks for their line levels and their next events.
#ifndef ZENTRIX_SIMULATOR_SIMULATEDIOBOX_H
#define ZENTRIX_SIMULATOR_SIMULATEDIOBOX_H

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "simulator/BenchConfig.h"
#include "simulator/InputLines.h"
#include "simulator/Lickometer.h"
#include "simulator/PelletDispenser.h"
#include "simulator/PortExpander.h"
#include "simulator/TopUnitOutputs.h"

namespace zentrix::sim {

class EventLog;
class SimulatedBench;

// Traffic that real hardware would have misunderstood or ignored; `timeMs` is simulator time.
struct ProtocolError {
    std::uint64_t timeMs = 0;
    int boxId = 0;
    std::string text;
};

enum class TraceKind { Write, Read, SetWriteTimeout, SetReadTimeout };

struct TraceEntry {
    std::uint64_t timeMs = 0;
    TraceKind kind = TraceKind::Write;
    // Write and Read only.
    std::uint32_t pipe = 0;
    // The report written, or the bytes a read delivered.
    std::vector<std::uint8_t> bytes;
    // The count the call returned (writes and reads).
    std::uint32_t result = 0;
    // The timeout set (timeout entries only).
    std::uint32_t timeoutMs = 0;
};

// Every public member is safe to call from any thread; each first brings the box up to the
// clock's current time, under the box's own lock.
class SimulatedIoBox {
public:
    static constexpr int kTtlPortCount = sim::kTtlPortCount;
    static constexpr int kSdiPortCount = sim::kSdiPortCount;
    static constexpr int kTtlLineCount = sim::kTtlLineCount;
    static constexpr int kSdiLineCount = 28;
    static constexpr int kInterruptGroupCount = 3;
    static constexpr std::size_t kReplySlots = 16;

    SimulatedIoBox(const SimulatedIoBox&) = delete;
    SimulatedIoBox& operator=(const SimulatedIoBox&) = delete;
    ~SimulatedIoBox();

    int BoxId() const { return m_boxId; }
    std::uint32_t ProductId() const { return m_productId; }
    const std::string& Serial() const { return m_serial; }

    // Level of a line the box drives (TTL port ids 1..12 with lines 1..2 through the output
    // expander, SDI port ids 13..25 with lines 1..28 through a top-unit interface, which passes
    // its expander's levels on at each strobe, else 0); throws std::out_of_range for any other
    // port or line.
    bool OutputLevel(int portId, int line);
    // Level of a TTL input line (port id 1..12, line 1..2) as the input expander sees it.
    bool InputLevel(int portId, int line);
    // Holds a TTL input line at a level, overriding its configured source until released.
    void DriveInput(int portId, int line, bool level);
    void ReleaseInput(int portId, int line);
    // While quiet, a TTL input line follows its source back up but not down: a low phase under
    // way runs to its end and none begins, so that pulses can be paused and resumed without any
    // being cut short. Ending quiet waits for the source's next fall.
    void QuietInput(int portId, int line, bool quiet);
    // Falling and rising edges of a TTL input line (port id 1..12, line 1..2) since the bench
    // started; throws std::out_of_range for any other line.
    InputEdgeCounts InputEdges(int portId, int line);
    // The edges between the levels that reads of the input expander returned for a TTL input line
    // (its level at power-up first): what a reader that misses none of its reads must count.
    // A pulse that falls between two reads is in InputEdges but not here.
    InputEdgeCounts SampledEdges(int portId, int line);

    // Group 0 covers TTL ports 1..4, group 1 ports 5..8, group 2 ports 9..12.
    bool InterruptLatched(int group);
    bool SpiEnabled();
    std::uint32_t StrobePulses();
    // Drop pulses the pellet dispenser on a TTL port has produced (0 without one).
    std::uint32_t PelletsDropped(int ttlPort);
    // Licks and lick time that the lickometer behind an SDI port (1..13) has answered to reads
    // since the bench started, as the controller received them (zero without one).
    LickometerReports ReportedLicks(int sdi);
    // Special-mode replies waiting to be read from pipe 1; the oldest is dropped past kReplySlots.
    std::size_t PendingReplies();

    std::vector<ProtocolError> ProtocolErrors();
    void ClearProtocolErrors();

    // The trace is off by default so that long runs do not grow memory.
    void SetTraceEnabled(bool enabled);
    std::vector<TraceEntry> Trace();
    void ClearTrace();

    // Replaces the pending faults; the unplug count starts again from this call.
    void SetFaults(const FaultConfig& faults);
    // Short reads and throws still to come, and the unplug setting.
    FaultConfig Faults();
    bool IsUnplugged();

private:
    friend class SimulatedBench;

    struct ReadOutcome {
        std::uint32_t bytes = 0;
        std::uint32_t waitMs = 0;
        bool throws = false;
    };

    // A chip's select as the chip sees it: its port select line low while the controller's SPI
    // select is asserted.
    struct ChipSelect {
        bool asserted = false;
        // Bits clocked in with the wrong SPI mode or clock; the chip discards the frame.
        bool garbled = false;
    };

    struct SdiSlot {
        std::optional<SdiBoard> board;
        PortExpander expander;
        ChipSelect select;
        TopUnitOutputs outputs;
        Lickometer lickometer;
    };

    enum class EventSource { None, PulseTrain, Pellet };

    struct NextEvent {
        std::uint64_t timeMs;
        EventSource source;
        std::size_t index;
    };

    using Report = std::array<std::uint8_t, 64>;

    SimulatedIoBox(const BoxConfig& config, std::size_t index, SimulatedBench& bench,
                   EventLog* eventLog);

    std::uint32_t HandleWrite(std::uint64_t now, std::uint32_t pipe, const std::uint8_t* buffer,
                              std::uint32_t length);
    ReadOutcome HandleRead(std::uint64_t now, std::uint32_t pipe, std::uint8_t* buffer,
                           std::uint32_t length);
    void HandleSetTimeout(std::uint64_t now, TraceKind kind, std::uint32_t timeoutMs);
    std::uint64_t NextEventTime() const;
    void ProcessNextEvent();

    NextEvent FindNextEvent() const;
    bool CountReport();
    // Whether the reports counted so far have used up silentAfterReports; caller holds the lock.
    bool IsSilent() const;
    void HandlePinReport(std::uint64_t now, const std::uint8_t* report);
    // Carries out the pin reports whose way to the pins has ended by now.
    void ApplyLatePinReports(std::uint64_t now);
    void HandleSpecialReport(std::uint64_t now, const std::uint8_t* report);
    void HandleSpiTransfer(std::uint64_t now, const std::uint8_t* report);
    void CheckPinReport(std::uint64_t now, const std::uint8_t* report);
    void HandleSpiEnable(std::uint64_t now, const std::uint8_t* report);
    void CheckSdiTransfer(std::uint64_t now, int sdi, std::uint32_t count);
    void ReadLickometer(std::uint64_t now, std::uint32_t count, std::uint8_t* in);
    // Clocks the bytes through every chip whose select is asserted; `in` gets what they shift
    // out when exactly one chip (or the IO box's chained pair) answers.
    void ShiftSelectedChips(std::uint32_t count, const std::uint8_t* out, std::uint8_t* in);
    // Moves every chip's select to follow the port select lines and the controller's SPI select;
    // a select that rises makes its chip carry out the frame it holds.
    void UpdateChipSelects(std::uint64_t now, bool controllerSelect);
    void LatchIoBoxExpanders(std::uint64_t now);
    void NoteSampledInputs(std::uint64_t now, PortExpander::Frame frame);
    void LatchSdiExpander(std::uint64_t now, int sdi);
    // `chip` is an SDI port number, or negative for the IO box's own input and output expanders.
    void LatchExpander(std::uint64_t now, PortExpander& expander, int chip, OutsideDrive outside);
    Report& PushReply();
    std::uint8_t PortLevels(int port) const;
    bool SdiSelected(int sdi) const;
    bool RearmHigh() const;
    OutsideDrive InputExpanderOutside() const;
    void RefreshTtlOutputs(std::uint64_t now);
    void LatchSdiOutputs(std::uint64_t now);
    void SetSourceLevel(int lineIndex, const LineStep& step);
    // What the wire does when a TTL input line changed level: the interrupt latch and the log.
    void InputLineChanged(int lineIndex, std::uint64_t timeMs);
    void ReportError(std::uint64_t now, std::string text);
    void RecordTrace(std::uint64_t now, TraceKind kind, std::uint32_t pipe,
                     const std::uint8_t* bytes, std::uint32_t length, std::uint32_t result,
                     std::uint32_t timeoutMs);
    static int TtlLineIndex(int portId, int line);

    SimulatedBench& m_bench;
    EventLog* m_eventLog;
    const int m_boxId;
    const std::uint32_t m_productId;
    const std::string m_serial;

    std::array<std::uint8_t, 7> m_pinLevels{};
    bool m_spiEnabled = false;
    bool m_spiModeValid = true;
    bool m_spiClockValid = true;
    bool m_controllerSelectHeld = false;
    ChipSelect m_ioBoxSelect;
    std::uint32_t m_strobePulses = 0;
    // Writes never wait, so only the read timeout matters.
    std::uint32_t m_readTimeoutMs;
    const std::uint32_t m_lateSelectUs;
    struct LatePinReport {
        std::uint64_t dueUs;
        std::array<std::uint8_t, 8> report;
    };
    std::deque<LatePinReport> m_latePinReports;

    PortExpander m_inputExpander;
    PortExpander m_outputExpander;
    std::uint32_t m_ttlOutputs = 0;
    std::array<SdiSlot, kSdiPortCount> m_sdi{};
    std::optional<int> m_armedLickometer;

    InputLines m_inputs{kTtlPortCount * kTtlLineCount};
    std::vector<PulseTrainSource> m_pulseTrains;
    std::vector<PelletDispenser> m_pellets;
    std::uint8_t m_latchedGroups = 0;

    std::array<Report, kReplySlots> m_replies{};
    std::size_t m_firstReply = 0;
    std::size_t m_replyCount = 0;

    FaultConfig m_faults;
    std::uint64_t m_reportsSinceFaultsSet = 0;

    // Guards everything of the box below but the count of calls in progress.
    std::mutex m_mutex;
    std::vector<ProtocolError> m_errors;
    // Library calls on this controller that have begun and not yet returned; changed without the
    // bench's lock, so that a call overlapping another is seen even while the first one waits.
    std::atomic<int> m_callsInProgress{0};
    bool m_traceEnabled = false;
    std::vector<TraceEntry> m_trace;
};

}  // namespace zentrix::sim

#endif
