#include "sampling/SignalState.h"

TCHiIobSignalState::TCHiIobSignalState(std::uint8_t idleLevel) : m_byIdleLevel(idleLevel) {
    Reset();
}

void TCHiIobSignalState::Update(std::uint8_t level) {
    m_byPreviousLevel = m_byCurrentLevel;
    m_byCurrentLevel = level;
    if (m_byPreviousLevel != 0 && m_byCurrentLevel == 0) {
        ++m_nFallingCount;
    }
    if (m_byPreviousLevel == 0 && m_byCurrentLevel != 0) {
        ++m_nRisingCount;
    }
}

void TCHiIobSignalState::Hold(std::uint8_t level) {
    m_byPreviousLevel = level;
    m_byCurrentLevel = level;
}

void TCHiIobSignalState::Reset() {
    m_byCurrentLevel = m_byIdleLevel;
    m_byPreviousLevel = m_byIdleLevel;
    m_nFallingCount = 0;
    m_nRisingCount = 0;
}
