// Queries of a hardware setup that several tests compare against.
#ifndef ZENTRIX_TESTS_SUPPORT_SETUPQUERIES_H
#define ZENTRIX_TESTS_SUPPORT_SETUPQUERIES_H

#include <cstdint>
#include <vector>

#include "model/Device.h"
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

}  // namespace zentrix::testing

#endif
