#include "simulator/Lickometer.h"

#include <algorithm>

namespace zentrix::sim {

namespace {

constexpr std::uint64_t kRadix = 255;
constexpr std::uint64_t kValueLimit = kRadix * kRadix - 1;
constexpr std::uint64_t kLickDurationUnitMs = 10;

std::uint64_t LickStartMs(std::uint64_t lick, double perSecond) {
    return static_cast<std::uint64_t>(static_cast<double>(lick) * 1000.0 / perSecond);
}

// The number of licks that started in (startMs, timeMs]; lick k starts at startMs + k * 1000 /
// perSecond.
std::uint64_t LicksStartedBy(const LickSource& source, std::uint64_t clockMs) {
    if (clockMs <= source.startMs) {
        return 0;
    }
    const std::uint64_t timeMs = clockMs - source.startMs;
    auto licks =
        static_cast<std::uint64_t>(static_cast<double>(timeMs + 1) * source.perSecond / 1000.0);
    while (licks > 0 && LickStartMs(licks, source.perSecond) > timeMs) {
        --licks;
    }
    while (LickStartMs(licks + 1, source.perSecond) <= timeMs) {
        ++licks;
    }
    return source.count == 0 ? licks : std::min<std::uint64_t>(licks, source.count);
}

std::uint8_t RadixLow(std::uint64_t value) {
    return static_cast<std::uint8_t>(std::min(value, kValueLimit) % kRadix);
}

std::uint8_t RadixHigh(std::uint64_t value) {
    return static_cast<std::uint8_t>(std::min(value, kValueLimit) / kRadix);
}

}  // namespace

void Lickometer::SelectRose(std::uint64_t nowMs) {
    const std::uint64_t heldMs = nowMs - m_selectFellMs;
    if (heldMs < kSelectHoldMs) {
        m_shortSelectMs = heldMs;
    } else {
        m_shortSelectMs.reset();
        Latch(nowMs);
    }
}

void Lickometer::Latch(std::uint64_t nowMs) {
    std::uint64_t licks = 0;
    std::uint64_t durationUnits = 0;
    if (m_source) {
        licks = LicksStartedBy(*m_source, nowMs) - LicksStartedBy(*m_source, m_lastLatchMs);
        durationUnits = licks * m_source->lickMs / kLickDurationUnitMs;
    }
    m_latched = {RadixLow(durationUnits), RadixHigh(durationUnits), RadixLow(licks),
                 RadixHigh(licks)};
    m_lastLatchMs = nowMs;
}

Lickometer::Answer Lickometer::ShiftOut() {
    m_reported.licks += m_latched[2] + kRadix * m_latched[3];
    m_reported.lickTimeMs += kLickDurationUnitMs * (m_latched[0] + kRadix * m_latched[1]);
    return m_latched;
}

}  // namespace zentrix::sim
