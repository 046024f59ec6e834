// Why an IO box or the setup refused to take a device, so that whoever offered it can say so.
#ifndef ZENTRIX_IOBOX_DEVICEREFUSAL_H
#define ZENTRIX_IOBOX_DEVICEREFUSAL_H

#include <cstdint>
#include <string_view>

namespace zentrix {

enum class DeviceRefusal : std::uint8_t {
    None,
    NoDevice,
    UnknownIOBox,
    DeviceIdInUse,
    NoDeviceIdLeft,
    UnknownDeviceType,
    ImpossibleConnectorPosition,
    UnknownPort,
    WrongPortKind,
};

// A short phrase for the log.
constexpr std::string_view DescribeRefusal(DeviceRefusal refusal) {
    switch (refusal) {
        case DeviceRefusal::None:
            return "taken";
        case DeviceRefusal::NoDevice:
            return "no device";
        case DeviceRefusal::UnknownIOBox:
            return "no IO box has that id";
        case DeviceRefusal::DeviceIdInUse:
            return "another device already has that id";
        case DeviceRefusal::NoDeviceIdLeft:
            return "no device id is left";
        case DeviceRefusal::UnknownDeviceType:
            return "no device type has that id";
        case DeviceRefusal::ImpossibleConnectorPosition:
            return "the device type has no such connector position";
        case DeviceRefusal::UnknownPort:
            return "the IO box has no such port";
        case DeviceRefusal::WrongPortKind:
            return "the port's kind (TTL or SDI) does not fit the device type";
    }
    return "refused";
}

}  // namespace zentrix

#endif
