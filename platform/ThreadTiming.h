// Asks the kernel to wake the calling thread on time: the least timer slack, and a real-time
// priority when the process may have one.
#ifndef ZENTRIX_PLATFORM_THREADTIMING_H
#define ZENTRIX_PLATFORM_THREADTIMING_H

namespace zentrix {

struct ThreadTiming {
    bool leastTimerSlack = false;
    bool realTimePriority = false;
};

// For the calling thread only. What the kernel refuses is left as it was, silently unless logging
// is on; never throws.
ThreadTiming MakeThisThreadTimely() noexcept;

}  // namespace zentrix

#endif
