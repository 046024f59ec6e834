// The IO-Warrior 56 report formats and the IO box's pin roles and expander wiring, shared by the
// files of the access object: its transport, its expander protocol, its register caches and its
// slow devices.
#ifndef ZENTRIX_IOBOX_WARRIORPROTOCOL_H
#define ZENTRIX_IOBOX_WARRIORPROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "iobox/Port.h"
#include "iobox/Warrior.h"

namespace zentrix::warrior {

inline constexpr std::uint8_t kReportSpiEnable = 0x08;
inline constexpr std::uint8_t kReportSpiTransfer = 0x09;
inline constexpr std::uint8_t kReportReadPins = 0xFF;

// Pin report bytes: 2 is port 1 (re-arm line on bit 4), 4 is port 3 (select SDI 1..8), 5 is
// port 4 (select SDI 9..13, the IO box expanders on bit 6, the strobe on bit 7). All active low.
inline constexpr std::size_t kPort1Byte = 2;
inline constexpr std::size_t kPort3Byte = 4;
inline constexpr std::size_t kPort4Byte = 5;
inline constexpr std::uint8_t kRearmBit = 0x10;
inline constexpr std::uint8_t kSelectIOBoxLevels = 0xBF;
inline constexpr std::uint8_t kStrobeLevels = 0x7F;

// The driver keeps at most 16 reports waiting, so no more can be late.
inline constexpr std::size_t kMaxLateReplies = 16;

inline constexpr std::uint8_t kConfigNormalOperation = 0x01;
inline constexpr std::uint8_t kFourOutputs = 0x55;
inline constexpr std::uint8_t kFourInputs = 0xAA;
inline constexpr std::uint8_t kFourInputsPullUp = 0xFF;
inline constexpr std::uint8_t kFirstPinConfiguration = 0x09;
inline constexpr std::uint8_t kLastPinConfiguration = 0x0F;
inline constexpr std::uint8_t kReadBit = 0x80;

inline constexpr std::int32_t kIOBoxSelector = -1;
// The IO box's input expander has four level registers, so no pass reads more.
inline constexpr std::size_t kIOBoxReadCommandCount = 4;
inline constexpr std::int32_t kLastPortId = kTtlPortCount + kSdiPortCount;

inline std::uint8_t OutputRegisterOfPin(std::int32_t pin) {
    if (pin < 12) {
        return kIobRegPins4To11;
    }
    if (pin < 20) {
        return kIobRegPins12To19;
    }
    if (pin < 28) {
        return kIobRegPins20To27;
    }
    return kIobRegPins28To31;
}

inline std::uint8_t ReadCommandOfPin(std::int32_t pin) {
    return static_cast<std::uint8_t>(OutputRegisterOfPin(pin) | kReadBit);
}

inline std::int32_t BitOfPin(std::int32_t pin) {
    return (pin - 4) % 8;
}

inline std::int32_t TtlPin(std::int32_t port, std::int32_t line) {
    return 2 * port + line + 1;
}
inline std::int32_t SdiPin(std::int32_t line) {
    return line + 3;
}

// Maps a box port id and line to the expander that serves it and the pin on it; false for port
// ids outside 1..25.
inline bool LocatePin(std::int32_t portId, std::int32_t line, std::int32_t& selector,
                      std::int32_t& pin) {
    if (portId >= 1 && portId <= kTtlPortCount) {
        selector = kIOBoxSelector;
        pin = TtlPin(portId, line);
        return true;
    }
    if (portId > kTtlPortCount && portId <= kLastPortId) {
        selector = portId - kTtlPortCount;
        pin = SdiPin(line);
        return true;
    }
    return false;
}

std::string Hex(std::uint32_t value);
void LogDiscardedReply(const std::uint8_t* reply, std::uint8_t reportId) noexcept;

}  // namespace zentrix::warrior

#endif
