// The input interrupt filter and the slow-device timer of one IO-Warrior access object. Both are
// used only through their access object, one thread at a time, and take no lock.
#ifndef ZENTRIX_IOBOX_INTERRUPT_H
#define ZENTRIX_IOBOX_INTERRUPT_H

#include <cstdint>

#include "platform/Clock.h"

class TCHiIobWarrior;

// The IO box latches any change of its inputs in three interrupt lines, one per group of eight
// input pins; the filter reads them once per read pass so that only flagged registers are read.
class TCHiIobInterrupt {
public:
    explicit TCHiIobInterrupt(TCHiIobWarrior* warrior);
    virtual ~TCHiIobInterrupt() = default;

    // Marks the latched lines stale; the next HasChanged reads them again.
    void Invalidate() { m_bStale = true; }
    // Whether the input register with that read command needs reading in this pass: every one
    // does in a pass that re-armed, since the re-arm pulse drops, unlatched, any change that
    // arrives between the read of the lines and the end of the pulse.
    bool HasChanged(std::uint8_t readCommand);
    // Whether the lines as last read flag that register itself, re-arm or not.
    bool IsLatched(std::uint8_t readCommand) const;
    void Refresh();
    // Clears the hardware latches with a low pulse on the re-arm line.
    void Rearm();

    std::uint8_t GetLatchedLines() const { return m_byLatchedLines; }

private:
    // The controller this filter belongs to: not owned, outlives this.
    TCHiIobWarrior* m_pWarrior;
    std::uint8_t m_byLatchedLines = 0;
    bool m_bStale = true;
    bool m_bRearmed = false;
};

// Paces the reads of slow devices (the lickometer's counters) to once per period. The unsigned
// difference keeps it right across the wrap of the 32-bit millisecond clock.
class TCHiIobSlowDeviceTimer {
public:
    explicit TCHiIobSlowDeviceTimer(zentrix::Clock& clock) : m_clock(clock) {}
    virtual ~TCHiIobSlowDeviceTimer() = default;

    void SetPeriod(std::uint32_t periodMs) { m_nPeriodMs = periodMs; }
    void Restart() { m_nStartMs = m_clock.NowMs(); }
    // True once more than a period has passed since the last true answer or restart; a true
    // answer starts the next period.
    bool IsDue();

    std::uint32_t GetPeriod() const { return m_nPeriodMs; }

private:
    zentrix::Clock& m_clock;
    std::uint32_t m_nStartMs = 0;
    std::uint32_t m_nPeriodMs = 0;
};

#endif
