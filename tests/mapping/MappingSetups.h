// Hardware setups for the mapping tests: the placeholder box alone, or recorded controllers that
// report chosen box ids.
#ifndef ZENTRIX_TESTS_MAPPING_MAPPINGSETUPS_H
#define ZENTRIX_TESTS_MAPPING_MAPPINGSETUPS_H

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "model/Device.h"
#include "platform/IoWarriorBackend.h"
#include "setup/HardwareSetup.h"
#include "support/RecordingLibrary.h"
#include "support/TempDir.h"

namespace zentrix::testing {

// Boxes with the given ids, in that order; no ids gives the placeholder box alone.
class MappingSetup {
public:
    explicit MappingSetup(std::vector<std::int32_t> boxIds = {})
        : m_ids(boxIds.begin(), boxIds.end()) {
        m_recording.controllers = static_cast<std::int32_t>(boxIds.size());
        m_recording.defaultRead = [this](std::uint8_t* buffer, std::uint32_t length) {
            std::fill(buffer, buffer + length, std::uint8_t{0xFF});
            if (!m_ids.empty()) {
                buffer[3] = static_cast<std::uint8_t>(m_ids.front());
                m_ids.pop_front();
            }
            return length;
        };
        if (boxIds.empty()) {
            setup = std::make_unique<TCHiIobHardwareSetup>(m_null, clock);
        } else {
            setup = std::make_unique<TCHiIobHardwareSetup>(m_recording, clock);
        }
    }

    // The setup goes first: its shut-down still talks to the library below.
    ~MappingSetup() { setup.reset(); }
    MappingSetup(const MappingSetup&) = delete;
    MappingSetup& operator=(const MappingSetup&) = delete;

    // Places a device with a fixed id; fails the test when the setup refuses it.
    void Add(std::int32_t box, std::int32_t port, std::int32_t type, std::int32_t id,
             const std::string& name, std::int32_t position = -1) {
        ASSERT_TRUE(setup->AddDevice(
            box, port, std::make_unique<TCHiIobDevice>(setup.get(), name, type, position, id)))
            << name;
    }

    RecordingLibrary& recording() { return m_recording; }

    TempRegistry registry{""};
    VirtualClock clock;
    std::unique_ptr<TCHiIobHardwareSetup> setup;

private:
    std::deque<std::int32_t> m_ids;
    NullIoWarriorLibrary m_null;
    RecordingLibrary m_recording{clock};
};

struct DeviceSummary {
    std::int32_t id;
    std::string name;
    std::int32_t type;
    std::int32_t position;
    friend bool operator==(const DeviceSummary&, const DeviceSummary&) = default;
};

inline std::vector<DeviceSummary> Devices(const TCHiIobHardwareSetup& setup) {
    std::vector<const TCHiIobDevice*> devices;
    setup.GetDevices(devices);
    std::vector<DeviceSummary> result;
    for (const TCHiIobDevice* device : devices) {
        result.push_back({device->GetDeviceId(), device->GetDeviceName(), device->GetDeviceTypeId(),
                          device->GetConnectorPortId()});
    }
    return result;
}

inline void PrintTo(const DeviceSummary& d, std::ostream* os) {
    *os << "{" << d.id << ", " << d.name << ", type " << d.type << ", pos " << d.position << "}";
}

}  // namespace zentrix::testing

#endif
