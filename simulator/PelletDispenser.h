// The pellet dispenser on a TTL port of an IO box.
#ifndef ZENTRIX_SIMULATOR_PELLETDISPENSER_H
#define ZENTRIX_SIMULATOR_PELLETDISPENSER_H

#include <cstdint>

#include "simulator/InputLines.h"

namespace zentrix::sim {

// A rise of the port's output line 1 drops one pellet: kDelayMs later the dispenser drives its
// port's input line 1 high for kPulseMs. A rise while a drop is pending or under way orders one
// more drop, which follows once the drops before it have ended, kDelayMs after the last one.
class PelletDispenser {
public:
    static constexpr std::uint64_t kDelayMs = 20;
    static constexpr std::uint64_t kPulseMs = 60;
    // The level of the drop line between drops.
    static constexpr bool kIdleLevel = false;

    explicit PelletDispenser(int port) : m_port(port) {}

    int Port() const { return m_port; }
    void TriggerRose(std::uint64_t nowMs);
    // When the drop line next changes; never while idle.
    std::uint64_t NextEventMs() const;
    // Carries out the change due at NextEventMs.
    LineStep ProcessEvent();
    std::uint32_t Dropped() const { return m_dropped; }

private:
    enum class Phase { Idle, Waiting, Dropping };

    int m_port;
    Phase m_phase = Phase::Idle;
    std::uint64_t m_dropStartMs = 0;
    std::uint64_t m_dropEndMs = 0;
    std::uint32_t m_dropped = 0;
    std::uint32_t m_ordered = 0;
};

}  // namespace zentrix::sim

#endif
