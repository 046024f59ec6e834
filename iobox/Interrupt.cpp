#include "iobox/Interrupt.h"

#include "iobox/Warrior.h"

namespace {

constexpr std::uint8_t kInterruptLineMask = 0xE0;

}  // namespace

TCHiIobInterrupt::TCHiIobInterrupt(TCHiIobWarrior* warrior) : m_pWarrior(warrior) {}

bool TCHiIobInterrupt::HasChanged(std::uint8_t readCommand) {
    if (m_bStale) {
        Refresh();
        m_bStale = false;
    }
    return m_bRearmed || IsLatched(readCommand);
}

bool TCHiIobInterrupt::IsLatched(std::uint8_t readCommand) const {
    switch (readCommand) {
        case kIobReadPins4To11:
            return (m_byLatchedLines & 0x20) != 0;
        case kIobReadPins12To19:
            return (m_byLatchedLines & 0x40) != 0;
        case kIobReadPins20To27:
            return (m_byLatchedLines & 0x80) != 0;
        default:
            return true;
    }
}

void TCHiIobInterrupt::Refresh() {
    m_pWarrior->ReadPins();
    // An active line reads low; a failed read leaves byte 2 at 0, so every group is read.
    const std::uint8_t port1 = m_pWarrior->GetSpecialReportByte(2);
    m_byLatchedLines = static_cast<std::uint8_t>(kInterruptLineMask & ~port1);
    m_pWarrior->NoteLatchedLines();
    m_bRearmed = m_byLatchedLines != 0;
    if (m_bRearmed) {
        Rearm();
    }
}

void TCHiIobInterrupt::Rearm() {
    m_pWarrior->PulseRearmLine();
}

bool TCHiIobSlowDeviceTimer::IsDue() {
    const std::uint32_t now = m_clock.NowMs();
    if (static_cast<std::uint32_t>(now - m_nStartMs) > m_nPeriodMs) {
        m_nStartMs = now;
        return true;
    }
    return false;
}
