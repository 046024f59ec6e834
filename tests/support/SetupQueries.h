// Queries of a hardware setup that several tests compare against, and the sampler's periods run on
// the test's own thread.
#ifndef ZENTRIX_TESTS_SUPPORT_SETUPQUERIES_H
#define ZENTRIX_TESTS_SUPPORT_SETUPQUERIES_H

#include <cstdint>
#include <vector>

#include "model/Device.h"
#include "platform/Clock.h"
#include "setup/HardwareSetup.h"

namespace zentrix::testing {

// The ids of every device of the setup, in the order the host lists them.
inline std::vector<std::int32_t> DeviceIds(const TCHiIobHardwareSetup& setup) {
    std::vector<const TCHiIobDevice*> devices;
    setup.GetDevices(devices);
    std::vector<std::int32_t> ids;
    for (const TCHiIobDevice* device : devices) {
        ids.push_back(device->GetDeviceId());
    }
    return ids;
}

// What a sampling thread does, for that long: an input pass, an output pass and a 2 ms sleep.
inline void RunPeriods(TCHiIobHardwareSetup& setup, Clock& clock, std::uint32_t milliseconds) {
    const std::uint32_t start = clock.NowMs();
    while (clock.NowMs() - start < milliseconds) {
        setup.SampleInputs(true);
        setup.SampleOutputs(true);
        clock.SleepMs(2);
    }
}

}  // namespace zentrix::testing

#endif
