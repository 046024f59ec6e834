// HardwareSetup.xml as the plug-in writes it, for tests that hand a setup to a host or the
// component through a file.
#ifndef ZENTRIX_TESTS_SUPPORT_HARDWARESETUPXML_H
#define ZENTRIX_TESTS_SUPPORT_HARDWARESETUPXML_H

#include <cstdint>
#include <string>
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

// One IO box with the devices, byte for byte in the form Save writes.
inline std::string HardwareSetupXml(const std::vector<StoredDevice>& devices,
                                    std::int32_t ioBoxId = 0) {
    std::string items;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const StoredDevice& device = devices[i];
        items += i == 0 ? "\t\t\t\t<item class_id=\"4\" tracking_level=\"0\" version=\"0\">\n"
                        : "\t\t\t\t<item>\n";
        items += "\t\t\t\t\t<m_iPortId>" + std::to_string(device.portId) + "</m_iPortId>\n" +
                 "\t\t\t\t\t<m_iConnectorPortId>" + std::to_string(device.connectorPortId) +
                 "</m_iConnectorPortId>\n" + "\t\t\t\t\t<m_iDeviceTypeId>" +
                 std::to_string(device.deviceTypeId) + "</m_iDeviceTypeId>\n" +
                 "\t\t\t\t\t<m_iDeviceId>" + std::to_string(device.deviceId) + "</m_iDeviceId>\n" +
                 "\t\t\t\t\t<m_strDeviceName>" + device.name + "</m_strDeviceName>\n" +
                 "\t\t\t\t</item>\n";
    }
    return std::string(R"(<?xml version="1.0" encoding="UTF-8" standalone="yes" ?>
<!DOCTYPE boost_serialization>
<boost_serialization signature="serialization::archive" version="18">
<HardwareSetup class_id="0" tracking_level="0" version="0">
	<m_vecConfigDataIOBox class_id="1" tracking_level="0" version="0">
		<count>1</count>
		<item_version>0</item_version>
		<item class_id="2" tracking_level="0" version="0">
			<m_iIOBoxId>)") +
           std::to_string(ioBoxId) + R"(</m_iIOBoxId>
			<m_eIOBoxType>0</m_eIOBoxType>
			<m_vecConfigDataPortDevice class_id="3" tracking_level="0" version="0">
				<count>)" +
           std::to_string(devices.size()) + R"(</count>
				<item_version>0</item_version>
)" + items +
           R"(			</m_vecConfigDataPortDevice>
		</item>
	</m_vecConfigDataIOBox>
</HardwareSetup>
</boost_serialization>
)";
}

}  // namespace zentrix::testing

#endif
