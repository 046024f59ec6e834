#include "platform/ThreadTiming.h"

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>

#include <cstring>
#include <string>

#include "platform/Log.h"

namespace zentrix {

namespace {

// Low among real-time priorities, so that interrupt threads and the like still come first.
constexpr int kRealTimePriority = 10;

}  // namespace

ThreadTiming MakeThisThreadTimely() noexcept {
    ThreadTiming timing;
    // One nanosecond, the least the kernel takes: a sleep then ends when it is due instead of
    // up to 50 microseconds later, so that timers can be coalesced.
    timing.leastTimerSlack = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
    sched_param parameters{};
    parameters.sched_priority = kRealTimePriority;
    const int error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters);
    timing.realTimePriority = error == 0;
    LogLazily(LogLevel::Info, "sampler", [&] {
        std::string text =
            timing.realTimePriority
                ? "sampling thread runs at real-time priority " + std::to_string(kRealTimePriority)
                : "sampling thread keeps its normal priority (real-time refused: " +
                      std::string(std::strerror(error)) + ")";
        if (!timing.leastTimerSlack) {
            text += "; its timer slack could not be lowered";
        }
        return text;
    });
    return timing;
}

}  // namespace zentrix
