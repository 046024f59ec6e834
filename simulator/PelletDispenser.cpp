#include "simulator/PelletDispenser.h"

#include <limits>

namespace zentrix::sim {

void PelletDispenser::TriggerRose(std::uint64_t nowMs) {
    if (m_phase != Phase::Idle) {
        ++m_ordered;
        return;
    }
    m_phase = Phase::Waiting;
    m_dropStartMs = nowMs + kDelayMs;
    m_dropEndMs = m_dropStartMs + kPulseMs;
}

std::uint64_t PelletDispenser::NextEventMs() const {
    switch (m_phase) {
        case Phase::Waiting:
            return m_dropStartMs;
        case Phase::Dropping:
            return m_dropEndMs;
        case Phase::Idle:
            break;
    }
    return std::numeric_limits<std::uint64_t>::max();
}

LineStep PelletDispenser::ProcessEvent() {
    if (m_phase == Phase::Waiting) {
        m_phase = Phase::Dropping;
        ++m_dropped;
        return {m_dropStartMs, !kIdleLevel};
    }
    const LineStep end{m_dropEndMs, kIdleLevel};
    if (m_ordered != 0) {
        --m_ordered;
        m_phase = Phase::Waiting;
        m_dropStartMs = m_dropEndMs + kDelayMs;
        m_dropEndMs = m_dropStartMs + kPulseMs;
    } else {
        m_phase = Phase::Idle;
    }
    return end;
}

}  // namespace zentrix::sim
