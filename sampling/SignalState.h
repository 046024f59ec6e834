// Level history and edge counters of one line signal of one device. Used only by the thread that
// runs the sampling passes, so it takes no lock.
#ifndef ZENTRIX_SAMPLING_SIGNALSTATE_H
#define ZENTRIX_SAMPLING_SIGNALSTATE_H

#include <cstdint>

class TCHiIobSignalState {
public:
    explicit TCHiIobSignalState(std::uint8_t idleLevel);
    virtual ~TCHiIobSignalState() = default;

    // Records one sample; an edge counts against the level of the sample before, which after a
    // reset is the idle level.
    void Update(std::uint8_t level);
    // Takes the level as the line's state without counting an edge: for a box whose lines are not
    // read, where a change of level is not something the hardware showed.
    void Hold(std::uint8_t level);
    void Reset();

    std::uint8_t GetCurrentLevel() const { return m_byCurrentLevel; }
    std::uint64_t GetRisingCount() const { return m_nRisingCount; }
    std::uint64_t GetFallingCount() const { return m_nFallingCount; }

private:
    std::uint8_t m_byCurrentLevel = 0;
    std::uint8_t m_byPreviousLevel = 0;
    std::uint8_t m_byIdleLevel = 0;
    std::uint64_t m_nFallingCount = 0;
    std::uint64_t m_nRisingCount = 0;
};

#endif
