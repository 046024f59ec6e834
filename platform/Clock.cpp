#include "platform/Clock.h"

#include <chrono>
#include <thread>

namespace zentrix {

namespace {

thread_local std::uint64_t requestedSleepUs = 0;

}  // namespace

std::uint64_t RequestedSleepUsOfThisThread() {
    return requestedSleepUs;
}

void CountRequestedSleep(std::uint32_t milliseconds) {
    requestedSleepUs += std::uint64_t{milliseconds} * 1000U;
}

std::uint32_t SystemClock::NowMs() {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ms));
}

void SystemClock::SleepMs(std::uint32_t milliseconds) {
    CountRequestedSleep(milliseconds);
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

SystemClock& SystemClock::Instance() {
    static SystemClock clock;
    return clock;
}

}  // namespace zentrix
