// The millisecond clock and sleep that all hardware timing goes through, so that tests can run
// the hardware layer on virtual time instead of sleeping.
#ifndef ZENTRIX_PLATFORM_CLOCK_H
#define ZENTRIX_PLATFORM_CLOCK_H

#include <atomic>
#include <cstdint>

namespace zentrix {

// What the calling thread has asked its clocks to sleep so far, in microseconds: the mandatory
// waits of the protocol, against which a sampling period's wall time is measured.
std::uint64_t RequestedSleepUsOfThisThread();
void CountRequestedSleep(std::uint32_t milliseconds);

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds on a 32-bit counter that wraps around after about 49.7 days.
    virtual std::uint32_t NowMs() = 0;
    virtual void SleepMs(std::uint32_t milliseconds) = 0;
};

// The process's monotonic clock; sleeping really waits.
class SystemClock final : public Clock {
public:
    std::uint32_t NowMs() override;
    void SleepMs(std::uint32_t milliseconds) override;

    static SystemClock& Instance();
};

// Time that moves only when asked to: sleeping advances it at once. Safe to use from several
// threads.
class VirtualClock final : public Clock {
public:
    explicit VirtualClock(std::uint32_t startMs = 0) : m_nowMs(startMs) {}

    std::uint32_t NowMs() override { return m_nowMs.load(std::memory_order_acquire); }
    void SleepMs(std::uint32_t milliseconds) override {
        CountRequestedSleep(milliseconds);
        Advance(milliseconds);
    }

    void Advance(std::uint32_t milliseconds) {
        m_nowMs.fetch_add(milliseconds, std::memory_order_acq_rel);
    }
    void Set(std::uint32_t nowMs) { m_nowMs.store(nowMs, std::memory_order_release); }

private:
    std::atomic<std::uint32_t> m_nowMs;
};

}  // namespace zentrix

#endif
