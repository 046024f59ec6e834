// The IO-Warrior 56 side of the box: the pin and special-mode reports it takes and answers, its
// reply queue, and the rules of the wire whose breach is a protocol error.
#include "simulator/SimulatedIoBox.h"

#include <algorithm>
#include <string>

#include "simulator/BoxWiring.h"
#include "simulator/SimulatedBench.h"

namespace zentrix::sim {

using namespace wiring;

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
    ApplyLatePinReports(now);
    if (buffer == nullptr) {
        ReportError(now, "write with a null buffer");
    } else if (CountReport()) {
        if (pipe == kPinPipe && length == kIow56PinReportSize && m_lateSelectUs != 0) {
            LatePinReport late{m_bench.m_clock.NowUs() + m_lateSelectUs, {}};
            std::copy(buffer, buffer + length, late.report.begin());
            m_latePinReports.push_back(late);
            written = length;
        } else if (pipe == kPinPipe && length == kIow56PinReportSize) {
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
    ApplyLatePinReports(now);
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

void SimulatedIoBox::ApplyLatePinReports(std::uint64_t now) {
    if (m_latePinReports.empty()) {
        return;
    }
    const std::uint64_t nowUs = m_bench.m_clock.NowUs();
    while (!m_latePinReports.empty() && m_latePinReports.front().dueUs <= nowUs) {
        const LatePinReport late = m_latePinReports.front();
        m_latePinReports.pop_front();
        // The pins changed when the report arrived there, not when the box next looked.
        const std::uint64_t lateByMs = (nowUs - late.dueUs) / 1000;
        HandlePinReport(now > lateByMs ? now - lateByMs : 0, late.report.data());
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

}  // namespace zentrix::sim
