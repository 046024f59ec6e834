// Mutual exclusion for the data that the host's thread and the sampler thread share.
#ifndef ZENTRIX_PLATFORM_LOCK_H
#define ZENTRIX_PLATFORM_LOCK_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

namespace zentrix {

// Created with its owner and destroyed with it; not copyable. It can measure how long it is held,
// for benchmarks that check that no caller holds it for long.
class CriticalSection {
public:
    CriticalSection() = default;
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Lock() {
        m_mutex.lock();
        if (m_bMeasure.load(std::memory_order_relaxed)) {
            m_lockedAt = std::chrono::steady_clock::now();
        }
    }
    void Unlock() {
        if (m_bMeasure.load(std::memory_order_relaxed) &&
            m_lockedAt != std::chrono::steady_clock::time_point{}) {
            const auto held = std::chrono::steady_clock::now() - m_lockedAt;
            const auto nanoseconds = static_cast<std::uint64_t>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(held).count());
            if (nanoseconds > m_nLongestHoldNs) {
                m_nLongestHoldNs = nanoseconds;
            }
            ++m_nHolds;
            if (nanoseconds > kLongHoldNs) {
                ++m_nLongHolds;
            }
            m_lockedAt = {};
        }
        m_mutex.unlock();
    }

    // Holds longer than this count as long ones.
    static constexpr std::uint64_t kLongHoldNs = 5000;

    struct HoldStatistics {
        std::uint64_t holds = 0;
        std::uint64_t longHolds = 0;
        std::uint64_t longestNs = 0;
    };

    void MeasureHolds(bool measure) { m_bMeasure.store(measure, std::memory_order_relaxed); }
    // Wall-clock hold times measured so far, so a holder that the scheduler preempts counts too.
    HoldStatistics GetHoldStatistics() {
        const std::lock_guard guard(m_mutex);
        return {m_nHolds, m_nLongHolds, m_nLongestHoldNs};
    }

private:
    std::mutex m_mutex;
    std::atomic<bool> m_bMeasure{false};
    std::chrono::steady_clock::time_point m_lockedAt{};
    std::uint64_t m_nLongestHoldNs = 0;
    std::uint64_t m_nHolds = 0;
    std::uint64_t m_nLongHolds = 0;
};

// Holds the section from construction to destruction, also while an exception passes.
class ScopedLock {
public:
    explicit ScopedLock(CriticalSection& section) : m_section(section) { m_section.Lock(); }
    ~ScopedLock() { m_section.Unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    CriticalSection& m_section;
};

}  // namespace zentrix

#endif
