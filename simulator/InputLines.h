// The TTL input lines of one IO box and the pulse trains that can drive them: what the devices
// outside the box do to the lines, apart from how the box's input expander reports them.
#ifndef ZENTRIX_SIMULATOR_INPUTLINES_H
#define ZENTRIX_SIMULATOR_INPUTLINES_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "simulator/BenchConfig.h"

namespace zentrix::sim {

// Level changes a TTL input line has made, whatever drove them.
struct InputEdgeCounts {
    std::uint32_t falls = 0;
    std::uint32_t rises = 0;
    bool operator==(const InputEdgeCounts&) const = default;
};

// A line's source moving to `level` at `timeMs`.
struct LineStep {
    std::uint64_t timeMs = 0;
    bool level = true;
};

// Each line follows its source (a pulse train, a constant level, a device's line; high when none
// drives it) unless it is driven by hand, and counts its edges and the edges that reads saw.
class InputLines {
public:
    explicit InputLines(std::size_t count);

    // Before PowerUp only: the level the line's source starts at.
    void SetInitialSource(std::size_t line, bool level);
    // Every line takes its source's level, which counts as the level reads have seen.
    void PowerUp();

    // Each of these returns whether the line's level changed.
    bool SetSourceLevel(std::size_t line, bool level);
    bool Drive(std::size_t line, bool level);
    bool Release(std::size_t line);

    // While quiet, a line follows its source back up but not down: a low phase under way runs to
    // its end and none begins. Ending quiet waits for the source's next fall.
    void SetQuiet(std::size_t line, bool quiet);
    // A read returned the line's present level; true when that differs from what the last read
    // returned.
    bool NoteSampled(std::size_t line);

    std::size_t Count() const { return m_lines.size(); }
    bool Level(std::size_t line) const { return m_lines[line].level; }
    // Bit n set for each line n that is high.
    std::uint32_t Levels() const;
    InputEdgeCounts Edges(std::size_t line) const { return m_lines[line].edges; }
    // The edges between the levels that reads returned, starting from the level at power-up.
    InputEdgeCounts SampledEdges(std::size_t line) const { return m_lines[line].sampledEdges; }

private:
    struct Line {
        bool sourceLevel = true;
        // The source's level as the line follows it, which differs only while quiet.
        bool followedLevel = true;
        bool quiet = false;
        bool sampledLevel = true;
        InputEdgeCounts sampledEdges;
        bool overridden = false;
        bool overrideLevel = true;
        bool level = true;
        InputEdgeCounts edges;
    };

    static bool Update(Line& line);

    std::vector<Line> m_lines;
};

// Pulls an input line low for lowMs at every multiple of everyMs (the first at everyMs); a
// bouncing edge alternates every millisecond, starting with its final level, before it settles.
class PulseTrainSource {
public:
    PulseTrainSource(std::size_t line, const PulseTrain& train);

    std::size_t Line() const { return m_line; }
    LineStep Next() const;
    // Moves past the next step and returns it.
    LineStep Advance();

private:
    std::uint32_t StepsPerEdge() const;

    std::size_t m_line;
    PulseTrain m_train;
    std::uint64_t m_cycle = 1;
    std::uint32_t m_step = 0;
};

}  // namespace zentrix::sim

#endif
