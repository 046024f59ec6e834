#include "simulator/SimulatedIoBox.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <stdexcept>

#include "simulator/EventLog.h"
#include "simulator/SimulatedBench.h"

namespace zentrix::sim {

namespace {

constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint32_t kDefaultTimeoutMs = 1000;

constexpr std::uint32_t kPinPipe = kIowPipeIoPins;
constexpr std::uint32_t kSpecialPipe = kIowPipeSpecialMode;
constexpr std::uint8_t kSpiEnableReport = 0x08;
constexpr std::uint8_t kSpiTransferReport = 0x09;
constexpr std::uint8_t kReadPinsReport = 0xFF;
constexpr std::uint32_t kMaxSpiBytes = 61;
constexpr std::size_t kSpiDataOffset = 3;
constexpr std::size_t kSpiReplyDataOffset = 2;
// CPOL 0, CPHA 0, most significant bit first: the only mode the expanders understand.
constexpr std::uint8_t kSpiMode = 0x00;
// The slowest clock, about 94 kHz, which the lines behind the SDI ports are built for.
constexpr std::uint8_t kSpiClockDivider = 0xFF;
constexpr std::uint8_t kKeepSelectFlag = 1U << 6;

constexpr int kUnusedPort0 = 0;
constexpr int kInterruptPort = 1;
constexpr int kBoxIdPort = 2;
constexpr int kLowSelectPort = 3;
constexpr int kHighSelectPort = 4;
constexpr std::uint8_t kRearmBit = 1U << 4;
constexpr int kFirstInterruptBit = 5;
constexpr std::uint8_t kIoBoxSelectBit = 1U << 6;
constexpr std::uint8_t kStrobeBit = 1U << 7;
constexpr std::uint8_t kUnusedPort4Bit = 1U << 5;
constexpr int kSpiPort = 5;
constexpr int kUnusedPort6 = 6;

constexpr std::uint32_t kIoBoxTransferBytes = 4;
constexpr std::uint32_t kSdiExpanderTransferBytes = 2;
constexpr std::uint32_t kLickometerTransferBytes = Lickometer::kAnswerBytes;

constexpr std::uint32_t kTtlLineMask = 0x00FFFFFF;
constexpr int kInputExpander = -1;
constexpr int kOutputExpander = -2;
constexpr int kLinesPerInterruptGroup = 8;
// The input expander's registers that read pins: eight at a time from pins 4, 12, 20 and 28, or
// one pin each.
constexpr std::uint8_t kFirstEightPinRegister = 0x44;
constexpr std::uint8_t kLastEightPinRegister = 0x5C;
constexpr int kEightPinRegisterStep = 8;
constexpr std::uint8_t kFirstSinglePinRegister = 0x24;
constexpr std::uint8_t kLastSinglePinRegister = 0x3F;
constexpr int kSinglePinRegisterBase = 0x20;

std::string Hex(unsigned value) {
    std::array<char, 8> text{};
    std::snprintf(text.data(), text.size(), "0x%02X", value);
    return text.data();
}

const char* MisuseText(ExpanderMisuse misuse) {
    switch (misuse) {
        case ExpanderMisuse::UnsupportedRegister:
            return "unsupported register";
        case ExpanderMisuse::AccessWhileShutDown:
            return "pin register accessed while the chip is in shutdown";
        case ExpanderMisuse::InvalidPinConfiguration:
            return "pin configuration 00 written";
        case ExpanderMisuse::LevelWriteToInputPin:
            return "level register written while it covers an input pin";
        case ExpanderMisuse::None:
            break;
    }
    return "";
}

}  // namespace

SimulatedIoBox::SimulatedIoBox(const BoxConfig& config, std::size_t index, SimulatedBench& bench,
                               EventLog* eventLog)
    : m_bench(bench),
      m_eventLog(eventLog),
      m_boxId(config.boxId),
      m_productId(config.productId),
      m_serial(config.serial.empty() ? DefaultSerial(index) : config.serial),
      m_readTimeoutMs(kDefaultTimeoutMs),
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

bool SimulatedIoBox::IsSilent() const {
    return m_faults.silentAfterReports != 0 &&
           m_reportsSinceFaultsSet > m_faults.silentAfterReports;
}

bool SimulatedIoBox::CountReport() {
    ++m_reportsSinceFaultsSet;
    return m_faults.unplugAfterReports == 0 ||
           m_reportsSinceFaultsSet <= m_faults.unplugAfterReports;
}

std::uint32_t SimulatedIoBox::HandleWrite(std::uint64_t now, std::uint32_t pipe,
                                          const std::uint8_t* buffer, std::uint32_t length) {
    std::uint32_t written = 0;
    if (buffer == nullptr) {
        ReportError(now, "write with a null buffer");
    } else if (CountReport()) {
        if (pipe == kPinPipe && length == kIow56PinReportSize) {
            HandlePinReport(now, buffer);
            written = length;
        } else if (pipe == kSpecialPipe && length == kIow56SpecialReportSize) {
            HandleSpecialReport(now, buffer);
            written = length;
        } else {
            ReportError(now, "write of " + std::to_string(length) + " bytes to pipe " +
                                 std::to_string(pipe));
        }
    }
    if (m_traceEnabled) {
        RecordTrace(now, TraceKind::Write, pipe, buffer, buffer == nullptr ? 0 : length, written,
                    0);
    }
    return written;
}

SimulatedIoBox::ReadOutcome SimulatedIoBox::HandleRead(std::uint64_t now, std::uint32_t pipe,
                                                       std::uint8_t* buffer, std::uint32_t length) {
    ReadOutcome outcome;
    const bool validLength = (pipe == kPinPipe && length == kIow56PinReportSize) ||
                             (pipe == kSpecialPipe && length == kIow56SpecialReportSize);
    if (buffer == nullptr) {
        ReportError(now, "read into a null buffer");
    } else if (CountReport()) {
        if (!validLength) {
            ReportError(now, "read of " + std::to_string(length) + " bytes from pipe " +
                                 std::to_string(pipe));
        } else if (m_faults.throwOnRead > 0) {
            --m_faults.throwOnRead;
            outcome.throws = true;
        } else if (m_faults.shortReads > 0) {
            --m_faults.shortReads;
            outcome.waitMs = m_readTimeoutMs;
        } else if (pipe == kSpecialPipe && m_replyCount > 0 && !IsSilent()) {
            std::copy(m_replies[m_firstReply].begin(), m_replies[m_firstReply].end(), buffer);
            m_firstReply = (m_firstReply + 1) % kReplySlots;
            --m_replyCount;
            outcome.bytes = length;
        } else {
            outcome.waitMs = m_readTimeoutMs;
        }
    }
    if (m_traceEnabled) {
        RecordTrace(now, TraceKind::Read, pipe, buffer, outcome.bytes, outcome.bytes, 0);
    }
    return outcome;
}

void SimulatedIoBox::HandleSetTimeout(std::uint64_t now, TraceKind kind, std::uint32_t timeoutMs) {
    if (kind == TraceKind::SetReadTimeout) {
        m_readTimeoutMs = timeoutMs;
    }
    if (m_traceEnabled) {
        RecordTrace(now, kind, 0, nullptr, 0, 0, timeoutMs);
    }
}

void SimulatedIoBox::HandlePinReport(std::uint64_t now, const std::uint8_t* report) {
    if (report[0] != 0) {
        ReportError(now, "pin report with report id " + Hex(report[0]));
        return;
    }
    CheckPinReport(now, report);
    const auto previous = m_pinLevels;
    std::copy(report + 1, report + 1 + m_pinLevels.size(), m_pinLevels.begin());
    UpdateChipSelects(now, m_controllerSelectHeld);
    for (int sdi = 1; sdi <= kSdiPortCount; ++sdi) {
        if (m_sdi[sdi - 1].board != SdiBoard::Lickometer) {
            continue;
        }
        const int port = sdi <= 8 ? kLowSelectPort : kHighSelectPort;
        const int bit = sdi <= 8 ? sdi - 1 : sdi - 9;
        const bool wasLow = ((previous[port] >> bit) & 1U) == 0;
        const bool isLow = ((m_pinLevels[port] >> bit) & 1U) == 0;
        if (!wasLow && isLow) {
            m_sdi[sdi - 1].lickometer.SelectFell(now);
        } else if (wasLow && !isLow) {
            m_sdi[sdi - 1].lickometer.SelectRose(now);
            m_armedLickometer = sdi;
        }
    }
    if ((previous[kHighSelectPort] & kStrobeBit) == 0 &&
        (m_pinLevels[kHighSelectPort] & kStrobeBit) != 0) {
        ++m_strobePulses;
        LatchSdiOutputs(now);
    }
    if (!RearmHigh()) {
        m_latchedGroups = 0;
    }
}

void SimulatedIoBox::CheckPinReport(std::uint64_t now, const std::uint8_t* report) {
    const auto levels = [report](int port) { return report[1 + port]; };
    std::string misuse;
    const auto note = [&misuse, &levels](int port) {
        misuse += (misuse.empty() ? "" : ", ") + std::string("port ") + std::to_string(port) +
                  " = " + Hex(levels(port));
    };
    if (levels(kUnusedPort0) != 0xFF) {
        note(kUnusedPort0);
    }
    if ((levels(kInterruptPort) | kRearmBit) != 0xFF) {
        note(kInterruptPort);
    }
    if (levels(kBoxIdPort) != 0xFF) {
        note(kBoxIdPort);
    }
    if ((levels(kHighSelectPort) & kUnusedPort4Bit) == 0) {
        note(kHighSelectPort);
    }
    if (levels(kSpiPort) != 0xFF) {
        note(kSpiPort);
    }
    if (levels(kUnusedPort6) != 0xFF) {
        note(kUnusedPort6);
    }
    if (!misuse.empty()) {
        ReportError(now, "pin report drives pins low that are no select, strobe or re-arm line (" +
                             misuse + ")");
    }
}

void SimulatedIoBox::HandleSpecialReport(std::uint64_t now, const std::uint8_t* report) {
    switch (report[0]) {
        case kSpiEnableReport:
            HandleSpiEnable(now, report);
            return;
        case kSpiTransferReport:
            HandleSpiTransfer(now, report);
            return;
        case kReadPinsReport: {
            auto& reply = PushReply();
            reply[0] = kReadPinsReport;
            for (int port = 0; port < static_cast<int>(m_pinLevels.size()); ++port) {
                reply[1 + port] = PortLevels(port);
            }
            return;
        }
        default:
            ReportError(now, "special-mode report with unknown id " + Hex(report[0]));
    }
}

void SimulatedIoBox::HandleSpiEnable(std::uint64_t now, const std::uint8_t* report) {
    if (report[1] > 1) {
        ReportError(now, "SPI enable report with switch byte " + Hex(report[1]));
        return;
    }
    if (report[1] == 0) {
        m_controllerSelectHeld = false;
        UpdateChipSelects(now, false);
        m_spiEnabled = false;
        return;
    }
    m_spiEnabled = true;
    m_spiModeValid = report[2] == kSpiMode;
    m_spiClockValid = report[3] == kSpiClockDivider;
    if (!m_spiModeValid) {
        ReportError(now, "SPI enabled with mode " + Hex(report[2]) +
                             " (0x00 expected: CPOL 0, CPHA 0, most significant bit first)");
    }
    if (!m_spiClockValid) {
        ReportError(now, "SPI enabled with clock divider " + Hex(report[3]) +
                             " (0xFF expected: the SDI lines need the slowest clock)");
    }
}

void SimulatedIoBox::HandleSpiTransfer(std::uint64_t now, const std::uint8_t* report) {
    const std::uint32_t count = report[1];
    const std::uint8_t flags = report[2];
    if (!m_spiEnabled) {
        ReportError(now, "SPI transfer while SPI is disabled");
        return;
    }
    if (count == 0 || count > kMaxSpiBytes) {
        ReportError(now, "SPI transfer of " + std::to_string(count) + " bytes");
        return;
    }
    if (flags != 0) {
        ReportError(now, "SPI transfer with flags " + Hex(flags) + " (0x00 expected)");
    }
    auto& reply = PushReply();
    reply[0] = kSpiTransferReport;
    reply[1] = static_cast<std::uint8_t>(count);
    const std::uint8_t* out = report + kSpiDataOffset;
    std::uint8_t* in = reply.data() + kSpiReplyDataOffset;

    int selectedCount = 0;
    int target = 0;
    if ((m_pinLevels[kHighSelectPort] & kIoBoxSelectBit) == 0) {
        ++selectedCount;
        target = -1;
    }
    for (int sdi = 1; sdi <= kSdiPortCount; ++sdi) {
        if (SdiSelected(sdi)) {
            ++selectedCount;
            target = sdi;
        }
    }
    UpdateChipSelects(now, true);
    ShiftSelectedChips(count, out, in);
    if (selectedCount > 1) {
        ReportError(now,
                    "SPI transfer with " + std::to_string(selectedCount) + " select lines low");
    } else if (selectedCount == 0) {
        ReadLickometer(now, count, in);
    } else if (target < 0) {
        if (count != kIoBoxTransferBytes) {
            ReportError(now, "SPI transfer of " + std::to_string(count) +
                                 " bytes to the IO box expanders (4 expected)");
        }
    } else {
        CheckSdiTransfer(now, target, count);
    }
    m_controllerSelectHeld = (flags & kKeepSelectFlag) != 0;
    UpdateChipSelects(now, m_controllerSelectHeld);
}

void SimulatedIoBox::CheckSdiTransfer(std::uint64_t now, int sdi, std::uint32_t count) {
    const auto& slot = m_sdi[sdi - 1];
    if (!slot.board) {
        ReportError(now, "SPI transfer to SDI " + std::to_string(sdi) + ", which has no board");
    } else if (*slot.board == SdiBoard::Lickometer) {
        ReportError(now, "SPI transfer to the lickometer on SDI " + std::to_string(sdi) +
                             " while it is selected (it answers after deselection)");
    } else if (count != kSdiExpanderTransferBytes) {
        ReportError(now, "SPI transfer of " + std::to_string(count) + " bytes to the SDI " +
                             std::to_string(sdi) + " expander (2 expected)");
    }
}

void SimulatedIoBox::ReadLickometer(std::uint64_t now, std::uint32_t count, std::uint8_t* in) {
    if (!m_armedLickometer) {
        ReportError(now, "SPI transfer with no select line low and no lickometer latched");
        return;
    }
    const int sdi = *m_armedLickometer;
    if (count != kLickometerTransferBytes) {
        ReportError(now, "SPI transfer of " + std::to_string(count) +
                             " bytes to the lickometer on SDI " + std::to_string(sdi) +
                             " (4 expected)");
        return;
    }
    auto& lickometer = m_sdi[sdi - 1].lickometer;
    if (const auto shortSelectMs = lickometer.ShortSelectMs()) {
        ReportError(now, "lickometer on SDI " + std::to_string(sdi) + " read after a select of " +
                             std::to_string(*shortSelectMs) + " ms (at least " +
                             std::to_string(Lickometer::kSelectHoldMs) +
                             " needed): it answers its previous counts");
    }
    if (m_spiModeValid && m_spiClockValid) {
        const auto answer = lickometer.ShiftOut();
        std::copy(answer.begin(), answer.end(), in);
    }
    m_armedLickometer.reset();
}

void SimulatedIoBox::ShiftSelectedChips(std::uint32_t count, const std::uint8_t* out,
                                        std::uint8_t* in) {
    int answering = 0;
    std::array<std::uint8_t, kMaxSpiBytes> shiftedOut{};
    if (m_ioBoxSelect.asserted) {
        ++answering;
        if (!m_spiModeValid) {
            m_ioBoxSelect.garbled = true;
        } else {
            // The output expander is first on the data line and passes its bits on to the input
            // expander, so after four bytes the first word sits in the input expander.
            for (std::uint32_t i = 0; i < count; ++i) {
                shiftedOut[i] = m_inputExpander.ShiftByte(m_outputExpander.ShiftByte(out[i]));
            }
        }
    }
    for (auto& slot : m_sdi) {
        if (!slot.select.asserted) {
            continue;
        }
        ++answering;
        if (!m_spiModeValid || !m_spiClockValid) {
            slot.select.garbled = true;
            continue;
        }
        for (std::uint32_t i = 0; i < count; ++i) {
            shiftedOut[i] = slot.expander.ShiftByte(out[i]);
        }
    }
    const bool garbled = m_ioBoxSelect.garbled ||
                         std::any_of(m_sdi.begin(), m_sdi.end(),
                                     [](const SdiSlot& slot) { return slot.select.garbled; });
    if (answering == 1 && !garbled) {
        std::copy(shiftedOut.begin(), shiftedOut.begin() + count, in);
    }
}

void SimulatedIoBox::UpdateChipSelects(std::uint64_t now, bool controllerSelect) {
    const bool ioBoxSelected =
        controllerSelect && (m_pinLevels[kHighSelectPort] & kIoBoxSelectBit) == 0;
    const bool ioBoxWasSelected = m_ioBoxSelect.asserted;
    m_ioBoxSelect.asserted = ioBoxSelected;
    if (ioBoxWasSelected && !ioBoxSelected) {
        LatchIoBoxExpanders(now);
    }
    for (int sdi = 1; sdi <= kSdiPortCount; ++sdi) {
        auto& slot = m_sdi[sdi - 1];
        const bool selected =
            controllerSelect && slot.board == SdiBoard::TopUnitInterface && SdiSelected(sdi);
        const bool wasSelected = slot.select.asserted;
        slot.select.asserted = selected;
        if (wasSelected && !selected) {
            LatchSdiExpander(now, sdi);
        }
    }
}

void SimulatedIoBox::LatchIoBoxExpanders(std::uint64_t now) {
    if (m_ioBoxSelect.garbled) {
        m_ioBoxSelect.garbled = false;
        return;
    }
    NoteSampledInputs(now, m_inputExpander.HeldFrame());
    LatchExpander(now, m_inputExpander, kInputExpander, InputExpanderOutside());
    LatchExpander(now, m_outputExpander, kOutputExpander, OutsideDrive{});
    RefreshTtlOutputs(now);
}

void SimulatedIoBox::NoteSampledInputs(std::uint64_t now, PortExpander::Frame frame) {
    if ((frame[0] & PortExpander::kReadFlag) == 0 || !m_inputExpander.InNormalOperation()) {
        return;
    }
    const auto reg = static_cast<std::uint8_t>(frame[0] & ~PortExpander::kReadFlag);
    int firstPin = 0;
    int pinCount = 0;
    if (reg >= kFirstEightPinRegister && reg <= kLastEightPinRegister &&
        (reg - kFirstEightPinRegister) % kEightPinRegisterStep == 0) {
        firstPin = PortExpander::kFirstPin + (reg - kFirstEightPinRegister);
        pinCount = 8;
    } else if (reg >= kFirstSinglePinRegister && reg <= kLastSinglePinRegister) {
        firstPin = reg - kSinglePinRegisterBase;
        pinCount = 1;
    }
    for (int pin = firstPin; pin < firstPin + pinCount; ++pin) {
        const int lineIndex = pin - PortExpander::kFirstPin;
        if (lineIndex < 0 || lineIndex >= static_cast<int>(m_inputs.Count()) ||
            m_inputExpander.IsOutput(pin)) {
            continue;
        }
        if (m_inputs.NoteSampled(static_cast<std::size_t>(lineIndex)) && m_eventLog != nullptr) {
            m_eventLog->LineChanged(now, m_boxId, lineIndex / kTtlLineCount + 1,
                                    lineIndex % kTtlLineCount + 1, EventLog::Kind::Read,
                                    m_inputs.Level(static_cast<std::size_t>(lineIndex)));
        }
    }
}

void SimulatedIoBox::LatchSdiExpander(std::uint64_t now, int sdi) {
    auto& slot = m_sdi[sdi - 1];
    if (slot.select.garbled) {
        slot.select.garbled = false;
        return;
    }
    LatchExpander(now, slot.expander, sdi, OutsideDrive{});
}

void SimulatedIoBox::LatchExpander(std::uint64_t now, PortExpander& expander, int chip,
                                   OutsideDrive outside) {
    const auto frame = expander.HeldFrame();
    const ExpanderMisuse misuse = expander.Latch(outside);
    if (misuse == ExpanderMisuse::None) {
        return;
    }
    const std::string name = chip == kInputExpander ? std::string("IO box input expander")
                             : chip == kOutputExpander
                                 ? std::string("IO box output expander")
                                 : "SDI " + std::to_string(chip) + " expander";
    const auto reg = static_cast<unsigned>(frame[0] & ~PortExpander::kReadFlag);
    ReportError(now, name + ": " + MisuseText(misuse) + " (register " + Hex(reg) + ", frame " +
                         Hex(frame[0]) + " " + Hex(frame[1]) + ")");
}

SimulatedIoBox::Report& SimulatedIoBox::PushReply() {
    if (m_replyCount == kReplySlots) {
        m_firstReply = (m_firstReply + 1) % kReplySlots;
        --m_replyCount;
    }
    auto& reply = m_replies[(m_firstReply + m_replyCount) % kReplySlots];
    ++m_replyCount;
    reply.fill(0);
    return reply;
}

std::uint8_t SimulatedIoBox::PortLevels(int port) const {
    unsigned outside = 0xFF;
    if (port == kInterruptPort) {
        for (int group = 0; group < kInterruptGroupCount; ++group) {
            if (((m_latchedGroups >> group) & 1U) != 0) {
                outside &= ~(1U << (kFirstInterruptBit + group));
            }
        }
    } else if (port == kBoxIdPort) {
        outside = static_cast<unsigned>(m_boxId);
    }
    return static_cast<std::uint8_t>(m_pinLevels[port] & outside);
}

bool SimulatedIoBox::SdiSelected(int sdi) const {
    if (sdi <= 8) {
        return ((m_pinLevels[kLowSelectPort] >> (sdi - 1)) & 1U) == 0;
    }
    return ((m_pinLevels[kHighSelectPort] >> (sdi - 9)) & 1U) == 0;
}

bool SimulatedIoBox::RearmHigh() const {
    return (m_pinLevels[kInterruptPort] & kRearmBit) != 0;
}

OutsideDrive SimulatedIoBox::InputExpanderOutside() const {
    return OutsideDrive{kTtlLineMask << PortExpander::kFirstPin, m_inputs.Levels()
                                                                     << PortExpander::kFirstPin};
}

void SimulatedIoBox::RefreshTtlOutputs(std::uint64_t now) {
    const std::uint32_t ttl =
        (m_outputExpander.DrivenHighPins() >> PortExpander::kFirstPin) & kTtlLineMask;
    const std::uint32_t ttlChanged = ttl ^ m_ttlOutputs;
    m_ttlOutputs = ttl;
    for (int lineIndex = 0; lineIndex < kTtlPortCount * kTtlLineCount; ++lineIndex) {
        if (((ttlChanged >> lineIndex) & 1U) == 0) {
            continue;
        }
        const bool level = ((ttl >> lineIndex) & 1U) != 0;
        const int port = lineIndex / kTtlLineCount + 1;
        const int line = lineIndex % kTtlLineCount + 1;
        if (m_eventLog != nullptr) {
            m_eventLog->LineChanged(now, m_boxId, port, line, EventLog::Kind::Output, level);
        }
        if (!level || line != 1) {
            continue;
        }
        for (auto& pellet : m_pellets) {
            if (pellet.Port() == port) {
                pellet.TriggerRose(now);
            }
        }
    }
}

void SimulatedIoBox::LatchSdiOutputs(std::uint64_t now) {
    for (int sdi = 1; sdi <= kSdiPortCount; ++sdi) {
        auto& slot = m_sdi[sdi - 1];
        if (slot.board != SdiBoard::TopUnitInterface) {
            continue;
        }
        const std::uint32_t changed =
            slot.outputs.Strobe(slot.expander.DrivenHighPins() >> PortExpander::kFirstPin);
        const std::uint32_t lines = slot.outputs.Levels();
        for (int line = 1; line <= kSdiLineCount && m_eventLog != nullptr; ++line) {
            if (((changed >> (line - 1)) & 1U) != 0) {
                m_eventLog->LineChanged(now, m_boxId, kTtlPortCount + sdi, line,
                                        EventLog::Kind::Output, ((lines >> (line - 1)) & 1U) != 0);
            }
        }
    }
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
