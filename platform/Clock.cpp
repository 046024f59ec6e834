#include "platform/Clock.h"

#include <time.h>

#include <cerrno>
#include <chrono>

#include "platform/NeverDestroyed.h"

namespace zentrix {

namespace {

thread_local std::uint64_t requestedSleepUs = 0;
thread_local std::uint64_t reportsExchanged = 0;

}  // namespace

std::uint64_t RequestedSleepUsOfThisThread() {
    return requestedSleepUs;
}

std::uint64_t ReportsOfThisThread() {
    return reportsExchanged;
}

void CountReportOfThisThread() {
    ++reportsExchanged;
}

void CountRequestedSleep(std::uint32_t milliseconds) {
    CountRequestedSleepUs(std::uint64_t{milliseconds} * 1000U);
}

void CountRequestedSleepUs(std::uint64_t microseconds) {
    requestedSleepUs += microseconds;
}

std::uint32_t SystemClock::NowMs() {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ms));
}

namespace {

constexpr std::uint64_t kNsPerUs = 1000;
constexpr std::uint64_t kUsPerSecond = 1000000;

void SleepUntilMonotonicUs(std::uint64_t deadlineUs) {
    timespec deadline{};
    deadline.tv_sec = static_cast<time_t>(deadlineUs / kUsPerSecond);
    deadline.tv_nsec = static_cast<long>((deadlineUs % kUsPerSecond) * kNsPerUs);
    // A signal interrupts the sleep; the deadline stays where it was.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

}  // namespace

void SystemClock::SleepMs(std::uint32_t milliseconds) {
    SleepMsFrom(NowUs(), milliseconds);
}

void SystemClock::SleepUs(std::uint32_t microseconds) {
    CountRequestedSleepUs(microseconds);
    SleepUntilMonotonicUs(NowUs() + microseconds);
}

std::uint64_t SystemClock::NowUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * kUsPerSecond +
           static_cast<std::uint64_t>(now.tv_nsec) / kNsPerUs;
}

void SystemClock::SleepMsFrom(std::uint64_t startUs, std::uint32_t milliseconds) {
    CountRequestedSleep(milliseconds);
    SleepUntilMonotonicUs(startUs + std::uint64_t{milliseconds} * 1000U);
}

SystemClock& SystemClock::Instance() {
    // Sampling threads that a host left running at exit still sleep on it.
    static NeverDestroyed<SystemClock> clock;
    return clock.Get();
}

}  // namespace zentrix
