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
void CountRequestedSleepUs(std::uint64_t microseconds);
// The reports the calling thread has exchanged with controllers so far (each write and each read
// that moved a whole report), for measuring what sampling asks of the bus.
std::uint64_t ReportsOfThisThread();
void CountReportOfThisThread();

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds on a 32-bit counter that wraps around after about 49.7 days.
    virtual std::uint32_t NowMs() = 0;
    virtual void SleepMs(std::uint32_t milliseconds) = 0;
    // A wait shorter than a millisecond where the clock can keep it, else rounded up to whole
    // milliseconds; counted as a requested wait of what it waits.
    virtual void SleepUs(std::uint32_t microseconds) { SleepMs((microseconds + 999U) / 1000U); }
    // A point to measure a later wait from, in microseconds on the clock's own time line.
    virtual std::uint64_t NowUs() { return std::uint64_t{NowMs()} * 1000U; }
    // The mandatory wait of `milliseconds` that began at `startUs`: sleeps until then, so that
    // the work done since `startUs` is not waited for twice. Counts as a requested wait of
    // `milliseconds`.
    virtual void SleepMsFrom(std::uint64_t /*startUs*/, std::uint32_t milliseconds) {
        SleepMs(milliseconds);
    }
    // Whether a sleeping thread really blocks, so that it may take a real-time priority without
    // starving others.
    virtual bool SleepsInRealTime() const { return false; }
};

// The process's monotonic clock; sleeping really waits, until an absolute deadline on
// CLOCK_MONOTONIC so that a sleep cut short by a signal still ends on time.
class SystemClock final : public Clock {
public:
    std::uint32_t NowMs() override;
    void SleepMs(std::uint32_t milliseconds) override;
    void SleepUs(std::uint32_t microseconds) override;
    std::uint64_t NowUs() override;
    void SleepMsFrom(std::uint64_t startUs, std::uint32_t milliseconds) override;

    bool SleepsInRealTime() const override { return true; }

    static SystemClock& Instance();
};

// Time that moves only when asked to: sleeping advances it at once, a wait measured from an
// earlier point by its whole length (no work takes time on it). Safe to use from several threads.
class VirtualClock final : public Clock {
public:
    explicit VirtualClock(std::uint32_t startMs = 0) : m_nowMs(startMs) {}

    std::uint32_t NowMs() override { return m_nowMs.load(std::memory_order_acquire); }
    void SleepMs(std::uint32_t milliseconds) override {
        CountRequestedSleep(milliseconds);
        Advance(milliseconds);
    }
    void SleepMsFrom(std::uint64_t /*startUs*/, std::uint32_t milliseconds) override {
        SleepMs(milliseconds);
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
