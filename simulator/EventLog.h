// The bench's record of line changes: one JSON object per line, flushed as it is written so that
// a crash of the process under test loses nothing. Boxes write to it from their own threads: one
// box's lines come in time order, lines of different boxes may interleave out of it.
#ifndef ZENTRIX_SIMULATOR_EVENTLOG_H
#define ZENTRIX_SIMULATOR_EVENTLOG_H

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace zentrix::sim {

class EventLog {
public:
    // Appends to the file; throws std::runtime_error when it cannot be opened.
    explicit EventLog(const std::string& path);
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // What changed: a line the box drives, one it reads, or the level of an input as a register
    // read of the box returned it to the plug-in.
    enum class Kind { Output, Input, Read };

    // Besides the simulator time, each line carries the process's steady clock in microseconds as
    // it is written, so that a host in the same process can time its own calls against the line
    // changes.
    void LineChanged(std::uint64_t timeMs, int boxId, int portId, int line, Kind kind, bool level);

private:
    std::mutex m_mutex;
    std::FILE* m_file = nullptr;
};

}  // namespace zentrix::sim

#endif
