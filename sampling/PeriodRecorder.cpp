#include "sampling/PeriodRecorder.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <limits>

#include "platform/Clock.h"

namespace zentrix {

namespace {

std::uint32_t Clamp32(std::uint64_t value) {
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(value, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace

PeriodMeter::PeriodMeter()
    : m_startUs(SteadyNowUs()),
      m_startSleepUs(RequestedSleepUsOfThisThread()),
      m_startCpuUs(ThreadCpuUs()),
      m_startReports(ReportsOfThisThread()) {}

SamplingPeriod PeriodMeter::Finish(std::uint32_t lane) const {
    SamplingPeriod period;
    period.lane = lane;
    period.endUs = SteadyNowUs();
    period.wallUs = Clamp32(period.endUs - m_startUs);
    period.floorUs = Clamp32(RequestedSleepUsOfThisThread() - m_startSleepUs);
    period.cpuUs = Clamp32(ThreadCpuUs() - m_startCpuUs);
    period.reports = Clamp32(ReportsOfThisThread() - m_startReports);
    return period;
}

std::uint64_t PeriodMeter::SteadyNowUs() {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(since).count());
}

std::uint64_t PeriodMeter::ThreadCpuUs() {
    timespec now{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000U +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000U;
}

void PeriodRecorder::Enable(std::size_t capacity) {
    const std::lock_guard lock(m_mutex);
    m_capacity = capacity;
    m_periods.reserve(std::min<std::size_t>(capacity, 1U << 16U));
    m_enabled.store(true, std::memory_order_relaxed);
}

void PeriodRecorder::Disable() {
    m_enabled.store(false, std::memory_order_relaxed);
}

void PeriodRecorder::Record(const SamplingPeriod& period) {
    if (!IsEnabled()) {
        return;
    }
    const std::lock_guard lock(m_mutex);
    if (m_periods.size() >= m_capacity) {
        ++m_dropped;
        return;
    }
    m_periods.push_back(period);
}

std::vector<SamplingPeriod> PeriodRecorder::Take() {
    const std::lock_guard lock(m_mutex);
    std::vector<SamplingPeriod> taken;
    taken.swap(m_periods);
    m_periods.reserve(std::min<std::size_t>(m_capacity, 1U << 16U));
    return taken;
}

std::size_t PeriodRecorder::DroppedCount() const {
    const std::lock_guard lock(m_mutex);
    return m_dropped;
}

}  // namespace zentrix
