// The sampler thread's loop, run on the test's own thread on virtual time, so that a test decides
// exactly where its host calls fall between the passes.
#ifndef ZENTRIX_TESTS_SUPPORT_VIRTUALPASSES_H
#define ZENTRIX_TESTS_SUPPORT_VIRTUALPASSES_H

#include <cstdint>

#include "platform/Clock.h"
#include "setup/HardwareSetup.h"

namespace zentrix::testing {

struct PassSchedule {
    std::uint32_t milliseconds = 0;
    // 0: no command.
    std::uint32_t commandEveryMs = 0;
    std::uint32_t hostEveryMs = 50;
};

// Input and output passes 2 ms apart for the schedule's time: onPass before each pair, onCommand
// when a command is due (before the passes) and onHost every hostEveryMs (after them).
template <typename OnPass, typename OnCommand, typename OnHost>
void RunVirtualPasses(VirtualClock& clock, TCHiIobHardwareSetup& setup,
                      const PassSchedule& schedule, OnPass&& onPass, OnCommand&& onCommand,
                      OnHost&& onHost) {
    const std::uint32_t end = clock.NowMs() + schedule.milliseconds;
    std::uint32_t nextHost = clock.NowMs() + schedule.hostEveryMs;
    std::uint32_t nextCommand = clock.NowMs() + schedule.commandEveryMs;
    while (static_cast<std::int32_t>(end - clock.NowMs()) > 0) {
        onPass();
        if (schedule.commandEveryMs != 0 &&
            static_cast<std::int32_t>(clock.NowMs() - nextCommand) >= 0) {
            onCommand();
            nextCommand += schedule.commandEveryMs;
        }
        setup.SampleInputs(true);
        setup.SampleOutputs(true);
        clock.SleepMs(2);
        if (static_cast<std::int32_t>(clock.NowMs() - nextHost) >= 0) {
            onHost();
            nextHost += schedule.hostEveryMs;
        }
    }
}

}  // namespace zentrix::testing

#endif
