// The lickometer board behind an SDI port of an IO box.
#ifndef ZENTRIX_SIMULATOR_LICKOMETER_H
#define ZENTRIX_SIMULATOR_LICKOMETER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "simulator/BenchConfig.h"

namespace zentrix::sim {

// What a lickometer has shifted out to the controller, summed over all its answers.
struct LickometerReports {
    std::uint64_t licks = 0;
    std::uint64_t lickTimeMs = 0;
    bool operator==(const LickometerReports&) const = default;
};

// Counts the licks of its source and latches those since its previous latch when its select rises
// after being held low at least kSelectHoldMs; after a shorter select it keeps its previous
// counts. Its answer is lick time in 10 ms units, then licks, each as two base-255 digits, low
// first, capped at 255 * 255 - 1.
class Lickometer {
public:
    static constexpr std::uint64_t kSelectHoldMs = 5;
    static constexpr std::size_t kAnswerBytes = 4;
    using Answer = std::array<std::uint8_t, kAnswerBytes>;

    // Without a source it answers zero counts.
    void SetSource(const LickSource& source) { m_source = source; }
    void SelectFell(std::uint64_t nowMs) { m_selectFellMs = nowMs; }
    void SelectRose(std::uint64_t nowMs);
    // How long the last select was held when that was too short to latch.
    std::optional<std::uint64_t> ShortSelectMs() const { return m_shortSelectMs; }
    // The latched counts, which are added to what has been reported.
    Answer ShiftOut();
    LickometerReports Reported() const { return m_reported; }

private:
    void Latch(std::uint64_t nowMs);

    std::optional<LickSource> m_source;
    std::uint64_t m_lastLatchMs = 0;
    Answer m_latched{};
    std::uint64_t m_selectFellMs = 0;
    std::optional<std::uint64_t> m_shortSelectMs;
    LickometerReports m_reported;
};

}  // namespace zentrix::sim

#endif
