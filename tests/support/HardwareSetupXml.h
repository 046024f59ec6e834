// HardwareSetup.xml as the plug-in writes it, for tests that hand a setup to a host or the
// component through a file.
#ifndef ZENTRIX_TESTS_SUPPORT_HARDWARESETUPXML_H
#define ZENTRIX_TESTS_SUPPORT_HARDWARESETUPXML_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zentrix::testing {

struct StoredDevice {
    std::int32_t portId = -1;
    // -1 when the device sits directly on the port.
    std::int32_t connectorPortId = -1;
    std::int32_t deviceTypeId = -1;
    std::int32_t deviceId = -1;
    std::string name;
};

// IO boxes with their devices, byte for byte in the form Save writes.
inline std::string HardwareSetupXmlForBoxes(
    const std::vector<std::pair<std::int32_t, std::vector<StoredDevice>>>& boxes) {
    std::string boxItems;
    for (std::size_t b = 0; b < boxes.size(); ++b) {
        const auto& [ioBoxId, devices] = boxes[b];
        std::string items;
        for (std::size_t i = 0; i < devices.size(); ++i) {
            const StoredDevice& device = devices[i];
            items += i == 0 && b == 0
                         ? "\t\t\t\t<item class_id=\"4\" tracking_level=\"0\" version=\"0\">\n"
                         : "\t\t\t\t<item>\n";
            items += "\t\t\t\t\t<m_iPortId>" + std::to_string(device.portId) + "</m_iPortId>\n" +
                     "\t\t\t\t\t<m_iConnectorPortId>" + std::to_string(device.connectorPortId) +
                     "</m_iConnectorPortId>\n" + "\t\t\t\t\t<m_iDeviceTypeId>" +
                     std::to_string(device.deviceTypeId) + "</m_iDeviceTypeId>\n" +
                     "\t\t\t\t\t<m_iDeviceId>" + std::to_string(device.deviceId) +
                     "</m_iDeviceId>\n" + "\t\t\t\t\t<m_strDeviceName>" + device.name +
                     "</m_strDeviceName>\n" + "\t\t\t\t</item>\n";
        }
        boxItems +=
            (b == 0 ? std::string("\t\t<item class_id=\"2\" tracking_level=\"0\" version=\"0\">\n")
                    : std::string("\t\t<item>\n")) +
            "\t\t\t<m_iIOBoxId>" + std::to_string(ioBoxId) + "</m_iIOBoxId>\n" +
            "\t\t\t<m_eIOBoxType>0</m_eIOBoxType>\n" +
            (b == 0 ? std::string("\t\t\t<m_vecConfigDataPortDevice class_id=\"3\" "
                                  "tracking_level=\"0\" version=\"0\">\n")
                    : std::string("\t\t\t<m_vecConfigDataPortDevice>\n")) +
            "\t\t\t\t<count>" + std::to_string(devices.size()) + "</count>\n" +
            "\t\t\t\t<item_version>0</item_version>\n" + items +
            "\t\t\t</m_vecConfigDataPortDevice>\n\t\t</item>\n";
    }
    return std::string(R"(<?xml version="1.0" encoding="UTF-8" standalone="yes" ?>
<!DOCTYPE boost_serialization>
<boost_serialization signature="serialization::archive" version="18">
<HardwareSetup class_id="0" tracking_level="0" version="0">
	<m_vecConfigDataIOBox class_id="1" tracking_level="0" version="0">
		<count>)") +
           std::to_string(boxes.size()) + "</count>\n\t\t<item_version>0</item_version>\n" +
           boxItems + R"(	</m_vecConfigDataIOBox>
</HardwareSetup>
</boost_serialization>
)";
}

// One IO box with the devices.
inline std::string HardwareSetupXml(const std::vector<StoredDevice>& devices,
                                    std::int32_t ioBoxId = 0) {
    return HardwareSetupXmlForBoxes({{ioBoxId, devices}});
}

}  // namespace zentrix::testing

#endif
