#include "simulator/InputLines.h"

#include <limits>

namespace zentrix::sim {

InputLines::InputLines(std::size_t count) : m_lines(count) {}

void InputLines::SetInitialSource(std::size_t line, bool level) {
    m_lines[line].sourceLevel = level;
    m_lines[line].followedLevel = level;
}

void InputLines::PowerUp() {
    for (auto& line : m_lines) {
        line.level = line.followedLevel;
        line.sampledLevel = line.level;
    }
}

bool InputLines::SetSourceLevel(std::size_t line, bool level) {
    auto& input = m_lines[line];
    input.sourceLevel = level;
    if (level || !input.quiet) {
        input.followedLevel = level;
    }
    return Update(input);
}

bool InputLines::Drive(std::size_t line, bool level) {
    m_lines[line].overridden = true;
    m_lines[line].overrideLevel = level;
    return Update(m_lines[line]);
}

bool InputLines::Release(std::size_t line) {
    m_lines[line].overridden = false;
    return Update(m_lines[line]);
}

void InputLines::SetQuiet(std::size_t line, bool quiet) {
    m_lines[line].quiet = quiet;
}

bool InputLines::NoteSampled(std::size_t line) {
    auto& input = m_lines[line];
    if (input.level == input.sampledLevel) {
        return false;
    }
    input.sampledLevel = input.level;
    ++(input.level ? input.sampledEdges.rises : input.sampledEdges.falls);
    return true;
}

std::uint32_t InputLines::Levels() const {
    std::uint32_t levels = 0;
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        if (m_lines[i].level) {
            levels |= 1U << i;
        }
    }
    return levels;
}

bool InputLines::Update(Line& line) {
    const bool level = line.overridden ? line.overrideLevel : line.followedLevel;
    if (level == line.level) {
        return false;
    }
    line.level = level;
    ++(level ? line.edges.rises : line.edges.falls);
    return true;
}

PulseTrainSource::PulseTrainSource(std::size_t line, const PulseTrain& train)
    : m_line(line), m_train(train) {}

std::uint32_t PulseTrainSource::StepsPerEdge() const {
    return m_train.bounceMs == 0 ? 1 : m_train.bounceMs + 1;
}

LineStep PulseTrainSource::Next() const {
    if (m_train.count != 0 && m_cycle > m_train.count) {
        return {std::numeric_limits<std::uint64_t>::max(), true};
    }
    const std::uint32_t perEdge = StepsPerEdge();
    const bool rising = m_step >= perEdge;
    const std::uint32_t within = m_step % perEdge;
    const std::uint64_t edgeMs =
        m_train.startMs + m_cycle * m_train.everyMs + (rising ? m_train.lowMs : 0);
    if (within < m_train.bounceMs) {
        return {edgeMs + within, (within % 2 == 0) ? rising : !rising};
    }
    return {edgeMs + within, rising};
}

LineStep PulseTrainSource::Advance() {
    const LineStep step = Next();
    if (++m_step == 2 * StepsPerEdge()) {
        m_step = 0;
        ++m_cycle;
    }
    return step;
}

}  // namespace zentrix::sim
