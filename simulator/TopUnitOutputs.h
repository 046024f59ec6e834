// The output lines of a top-unit interface board behind an SDI port of an IO box.
#ifndef ZENTRIX_SIMULATOR_TOPUNITOUTPUTS_H
#define ZENTRIX_SIMULATOR_TOPUNITOUTPUTS_H

#include <cstdint>

namespace zentrix::sim {

// The board passes the levels its expander drives on to its 28 output lines at each strobe, so
// that all lines change together.
class TopUnitOutputs {
public:
    // Bit n of `expanderLevels` is line n + 1; returns the lines that changed, in the same bits.
    std::uint32_t Strobe(std::uint32_t expanderLevels) {
        const std::uint32_t lines = expanderLevels & kLineMask;
        const std::uint32_t changed = lines ^ m_levels;
        m_levels = lines;
        return changed;
    }
    std::uint32_t Levels() const { return m_levels; }

private:
    static constexpr std::uint32_t kLineMask = 0x0FFFFFFF;

    std::uint32_t m_levels = 0;
};

}  // namespace zentrix::sim

#endif
