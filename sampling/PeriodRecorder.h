// A record of sampling periods for measuring the sampler: each period's wall time, the mandatory
// waits it asked for (its floor) and the CPU time its thread used. Off unless enabled, and then
// bounded, so that an unattended process cannot grow without end.
#ifndef ZENTRIX_SAMPLING_PERIODRECORDER_H
#define ZENTRIX_SAMPLING_PERIODRECORDER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace zentrix {

struct SamplingPeriod {
    // The sampling thread that ran the period: 0 for the serial sampler, the controller's index
    // among the sampling threads otherwise.
    std::uint32_t lane = 0;
    // When the period ended, on the steady clock.
    std::uint64_t endUs = 0;
    std::uint32_t wallUs = 0;
    std::uint32_t floorUs = 0;
    std::uint32_t cpuUs = 0;
    // Reports the thread exchanged with its controllers in the period.
    std::uint32_t reports = 0;
};

// Measures one period on the thread that runs it: construct at its start, Finish at its end.
class PeriodMeter {
public:
    PeriodMeter();
    SamplingPeriod Finish(std::uint32_t lane) const;

    static std::uint64_t SteadyNowUs();
    static std::uint64_t ThreadCpuUs();

private:
    std::uint64_t m_startUs;
    std::uint64_t m_startSleepUs;
    std::uint64_t m_startCpuUs;
    std::uint64_t m_startReports;
};

// Any thread may record; Take and Enable belong to the thread that starts and stops sampling.
class PeriodRecorder {
public:
    // Keeps up to `capacity` periods until the next Take; later ones are dropped.
    void Enable(std::size_t capacity);
    void Disable();
    bool IsEnabled() const { return m_enabled.load(std::memory_order_relaxed); }
    void Record(const SamplingPeriod& period);
    // The periods recorded since the last Take, in the order they were recorded.
    std::vector<SamplingPeriod> Take();
    std::size_t DroppedCount() const;

private:
    std::atomic<bool> m_enabled{false};
    mutable std::mutex m_mutex;
    std::size_t m_capacity = 0;
    std::size_t m_dropped = 0;
    std::vector<SamplingPeriod> m_periods;
};

}  // namespace zentrix

#endif
