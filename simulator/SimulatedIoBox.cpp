// The box as its bench sees it: what it is built from, the levels and counts tests read, and the
// events of its own devices in time order.
#include "simulator/SimulatedIoBox.h"

#include <algorithm>
#include <stdexcept>

#include "simulator/BoxWiring.h"
#include "simulator/EventLog.h"
#include "simulator/SimulatedBench.h"

namespace zentrix::sim {

using namespace wiring;

SimulatedIoBox::SimulatedIoBox(const BoxConfig& config, std::size_t index, SimulatedBench& bench,
                               EventLog* eventLog)
    : m_bench(bench),
      m_eventLog(eventLog),
      m_boxId(config.boxId),
      m_productId(config.productId),
      m_serial(config.serial.empty() ? DefaultSerial(index) : config.serial),
      m_readTimeoutMs(kDefaultTimeoutMs),
      m_lateSelectUs(config.lateSelectUs),
      m_faults(config.faults) {
    m_pinLevels.fill(0xFF);
    for (const auto& [sdi, board] : config.sdiBoards) {
        m_sdi[sdi - 1].board = board;
    }
    for (const auto& [port, device] : config.ttlDevices) {
        if (device == TtlDevice::PelletDispenser) {
            m_pellets.emplace_back(port);
            m_inputs.SetInitialSource(TtlLineIndex(port, 1), PelletDispenser::kIdleLevel);
        }
    }
    for (const auto& input : config.inputs) {
        const int lineIndex = TtlLineIndex(input.port, input.line);
        if (const auto* train = std::get_if<PulseTrain>(&input.drive)) {
            m_pulseTrains.emplace_back(lineIndex, *train);
        } else {
            m_inputs.SetInitialSource(lineIndex, std::get<ConstantLevel>(input.drive).level != 0);
        }
    }
    for (const auto& lick : config.licks) {
        m_sdi[lick.sdi - 1].lickometer.SetSource(lick);
    }
    m_inputs.PowerUp();
}

SimulatedIoBox::~SimulatedIoBox() = default;

int SimulatedIoBox::TtlLineIndex(int portId, int line) {
    return (portId - 1) * kTtlLineCount + (line - 1);
}

bool SimulatedIoBox::OutputLevel(int portId, int line) {
    const auto lock = m_bench.LockBoxAndSynchronise(*this);
    if (portId >= 1 && portId <= kTtlPortCount && line >= 1 && line <= kTtlLineCount) {
        return ((m_ttlOutputs >> TtlLineIndex(portId, line)) & 1U) != 0;
    }
    const int sdi = portId - kTtlPortCount;
    if (sdi >= 1 && sdi <= kSdiPortCount && line >= 1 && line <= kSdiLineCount) {
        return ((m_sdi[sdi - 1].outputs.Levels() >> (line - 1)) & 1U) != 0;
    }
    throw std::out_of_range("no output line " + std::to_string(line) + " on port id " +
                            std::to_string(portId));
}

bool SimulatedIoBox::InputLevel(int portId, int line) {
    const auto lock = m_bench.LockBoxAndSynchronise(*this);
    if (portId < 1 || portId > kTtlPortCount || line < 1 || line > kTtlLineCount) {
        throw std::out_of_range("no TTL input line " + std::to_string(line) + " on port id " +
                                std::to_string(portId));
    }
    return m_inputs.Level(TtlLineIndex(portId, line));
}

void SimulatedIoBox::DriveInput(int portId, int line, bool level) {
    const auto lock = m_bench.LockBoxAndSynchronise(*this);
    if (portId < 1 || portId > kTtlPortCount || line < 1 || line > kTtlLineCount) {
        throw std::out_of_range("no TTL input line " + std::to_string(line) + " on port id " +
                                std::to_string(portId));
    }
    const int lineIndex = TtlLineIndex(portId, line);
    if (m_inputs.Drive(lineIndex, level)) {
        InputLineChanged(lineIndex, lock.nowMs);
    }
}

void SimulatedIoBox::ReleaseInput(int portId, int line) {
    const auto lock = m_bench.LockBoxAndSynchronise(*this);
    if (portId < 1 || portId > kTtlPortCount || line < 1 || line > kTtlLineCount) {
        throw std::out_of_range("no TTL input line " + std::to_string(line) + " on port id " +
                                std::to_string(portId));
    }
    const int lineIndex = TtlLineIndex(portId, line);
    if (m_inputs.Release(lineIndex)) {
        InputLineChanged(lineIndex, lock.nowMs);
    }
}

InputEdgeCounts SimulatedIoBox::SampledEdges(int portId, int line) {
    const auto lock = m_bench.LockBoxAndSynchronise(*this);
    if (portId < 1 || portId > kTtlPortCount || line < 1 || line > kTtlLineCount) {
        throw std::out_of_range("no TTL input line " + std::to_string(line) + " on port id " +
                                std::to_string(portId));
    }
    return m_inputs.SampledEdges(TtlLineIndex(portId, line));
}

void SimulatedIoBox::QuietInput(int portId, int line, bool quiet) {
    const auto lock = m_bench.LockBoxAndSynchronise(*this);
    if (portId < 1 || portId > kTtlPortCount || line < 1 || line > kTtlLineCount) {
        throw std::out_of_range("no TTL input line " + std::to_string(line) + " on port id " +
                                std::to_string(portId));
    }
    m_inputs.SetQuiet(TtlLineIndex(portId, line), quiet);
}

InputEdgeCounts SimulatedIoBox::InputEdges(int portId, int line) {
    const auto lock = m_bench.LockBoxAndSynchronise(*this);
    if (portId < 1 || portId > kTtlPortCount || line < 1 || line > kTtlLineCount) {
        throw std::out_of_range("no TTL input line " + std::to_string(line) + " on port id " +
                                std::to_string(portId));
    }
    return m_inputs.Edges(TtlLineIndex(portId, line));
}

bool SimulatedIoBox::InterruptLatched(int group) {
    const auto lock = m_bench.LockBoxAndSynchronise(*this);
    if (group < 0 || group >= kInterruptGroupCount) {
        throw std::out_of_range("no interrupt group " + std::to_string(group));
    }
    return ((m_latchedGroups >> group) & 1U) != 0;
}

bool SimulatedIoBox::SpiEnabled() {
    const auto lock = m_bench.LockBoxAndSynchronise(*this);
    return m_spiEnabled;
}

std::uint32_t SimulatedIoBox::StrobePulses() {
    const auto lock = m_bench.LockBoxAndSynchronise(*this);
    return m_strobePulses;
}

LickometerReports SimulatedIoBox::ReportedLicks(int sdi) {
    const auto lock = m_bench.LockBoxAndSynchronise(*this);
    if (sdi < 1 || sdi > kSdiPortCount) {
        return {};
    }
    return m_sdi[sdi - 1].lickometer.Reported();
}

std::uint32_t SimulatedIoBox::PelletsDropped(int ttlPort) {
    const auto lock = m_bench.LockBoxAndSynchronise(*this);
    for (const auto& pellet : m_pellets) {
        if (pellet.Port() == ttlPort) {
            return pellet.Dropped();
        }
    }
    return 0;
}

std::size_t SimulatedIoBox::PendingReplies() {
    const auto lock = m_bench.LockBoxAndSynchronise(*this);
    return m_replyCount;
}

std::vector<ProtocolError> SimulatedIoBox::ProtocolErrors() {
    const auto lock = m_bench.LockBoxAndSynchronise(*this);
    return m_errors;
}

void SimulatedIoBox::ClearProtocolErrors() {
    const auto lock = m_bench.LockBoxAndSynchronise(*this);
    m_errors.clear();
}

void SimulatedIoBox::SetTraceEnabled(bool enabled) {
    const auto lock = m_bench.LockBoxAndSynchronise(*this);
    m_traceEnabled = enabled;
}

std::vector<TraceEntry> SimulatedIoBox::Trace() {
    const auto lock = m_bench.LockBoxAndSynchronise(*this);
    return m_trace;
}

void SimulatedIoBox::ClearTrace() {
    const auto lock = m_bench.LockBoxAndSynchronise(*this);
    m_trace.clear();
}

void SimulatedIoBox::SetFaults(const FaultConfig& faults) {
    const auto lock = m_bench.LockBoxAndSynchronise(*this);
    m_faults = faults;
    m_reportsSinceFaultsSet = 0;
}

FaultConfig SimulatedIoBox::Faults() {
    const auto lock = m_bench.LockBoxAndSynchronise(*this);
    return m_faults;
}

bool SimulatedIoBox::IsUnplugged() {
    const auto lock = m_bench.LockBoxAndSynchronise(*this);
    return m_faults.unplugAfterReports != 0 &&
           m_reportsSinceFaultsSet >= m_faults.unplugAfterReports;
}

void SimulatedIoBox::SetSourceLevel(int lineIndex, const LineStep& step) {
    if (m_inputs.SetSourceLevel(lineIndex, step.level)) {
        InputLineChanged(lineIndex, step.timeMs);
    }
}

void SimulatedIoBox::InputLineChanged(int lineIndex, std::uint64_t timeMs) {
    const bool level = m_inputs.Level(lineIndex);
    if (RearmHigh()) {
        m_latchedGroups = static_cast<std::uint8_t>(m_latchedGroups |
                                                    (1U << (lineIndex / kLinesPerInterruptGroup)));
    }
    if (m_eventLog != nullptr) {
        m_eventLog->LineChanged(timeMs, m_boxId, lineIndex / kTtlLineCount + 1,
                                lineIndex % kTtlLineCount + 1, EventLog::Kind::Input, level);
    }
}

SimulatedIoBox::NextEvent SimulatedIoBox::FindNextEvent() const {
    NextEvent next{kNever, EventSource::None, 0};
    for (std::size_t i = 0; i < m_pulseTrains.size(); ++i) {
        const auto step = m_pulseTrains[i].Next();
        if (step.timeMs < next.timeMs) {
            next = {step.timeMs, EventSource::PulseTrain, i};
        }
    }
    for (std::size_t i = 0; i < m_pellets.size(); ++i) {
        const std::uint64_t timeMs = m_pellets[i].NextEventMs();
        if (timeMs < next.timeMs) {
            next = {timeMs, EventSource::Pellet, i};
        }
    }
    return next;
}

std::uint64_t SimulatedIoBox::NextEventTime() const {
    return FindNextEvent().timeMs;
}

void SimulatedIoBox::ProcessNextEvent() {
    const auto next = FindNextEvent();
    if (next.source == EventSource::PulseTrain) {
        auto& train = m_pulseTrains[next.index];
        SetSourceLevel(static_cast<int>(train.Line()), train.Advance());
    } else if (next.source == EventSource::Pellet) {
        auto& pellet = m_pellets[next.index];
        SetSourceLevel(TtlLineIndex(pellet.Port(), 1), pellet.ProcessEvent());
    }
}

void SimulatedIoBox::ReportError(std::uint64_t now, std::string text) {
    m_errors.push_back(ProtocolError{now, m_boxId, std::move(text)});
}

void SimulatedIoBox::RecordTrace(std::uint64_t now, TraceKind kind, std::uint32_t pipe,
                                 const std::uint8_t* bytes, std::uint32_t length,
                                 std::uint32_t result, std::uint32_t timeoutMs) {
    TraceEntry entry;
    entry.timeMs = now;
    entry.kind = kind;
    entry.pipe = pipe;
    if (bytes != nullptr) {
        entry.bytes.assign(bytes, bytes + length);
    }
    entry.result = result;
    entry.timeoutMs = timeoutMs;
    m_trace.push_back(std::move(entry));
}

}  // namespace zentrix::sim
