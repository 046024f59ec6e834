#include "simulator/EventLog.h"

#include <chrono>
#include <cinttypes>
#include <stdexcept>

namespace zentrix::sim {

EventLog::EventLog(const std::string& path) : m_file(std::fopen(path.c_str(), "a")) {
    if (m_file == nullptr) {
        throw std::runtime_error("cannot open the event log " + path + " for appending");
    }
}

EventLog::~EventLog() {
    std::fclose(m_file);
}

void EventLog::LineChanged(std::uint64_t timeMs, int boxId, int portId, int line, Kind kind,
                           bool level) {
    const char* io = kind == Kind::Output ? "out" : kind == Kind::Input ? "in" : "read";
    const std::lock_guard lock(m_mutex);
    const auto steady = std::chrono::steady_clock::now().time_since_epoch();
    const auto steadyUs = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(steady).count());
    std::fprintf(m_file,
                 "{\"t_ms\": %" PRIu64
                 ", \"box\": %d, \"port\": %d, \"line\": %d, \"io\": \"%s\", \"level\": %d, "
                 "\"steady_us\": %" PRIu64 "}\n",
                 timeMs, boxId, portId, line, io, level ? 1 : 0, steadyUs);
    std::fflush(m_file);
}

}  // namespace zentrix::sim
