// How the IO box is wired to its IO-Warrior 56: which pins carry the select, strobe and re-arm
// lines, what the special-mode reports look like and how the chips behind the SPI lines are
// addressed. Shared by the parts of the simulated box and by the USB box that checks the order
// reports arrive in.
#ifndef ZENTRIX_SIMULATOR_BOXWIRING_H
#define ZENTRIX_SIMULATOR_BOXWIRING_H

#include <array>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "platform/IoWarriorLibrary.h"
#include "simulator/Lickometer.h"

namespace zentrix::sim::wiring {

inline constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
inline constexpr std::uint32_t kDefaultTimeoutMs = 1000;

inline constexpr std::uint32_t kPinPipe = kIowPipeIoPins;
inline constexpr std::uint32_t kSpecialPipe = kIowPipeSpecialMode;
inline constexpr std::uint8_t kSpiEnableReport = 0x08;
inline constexpr std::uint8_t kSpiTransferReport = 0x09;
inline constexpr std::uint8_t kReadPinsReport = 0xFF;
inline constexpr std::uint32_t kMaxSpiBytes = 61;
inline constexpr std::size_t kSpiDataOffset = 3;
inline constexpr std::size_t kSpiReplyDataOffset = 2;
// CPOL 0, CPHA 0, most significant bit first: the only mode the expanders understand.
inline constexpr std::uint8_t kSpiMode = 0x00;
// The slowest clock, about 94 kHz, which the lines behind the SDI ports are built for.
inline constexpr std::uint8_t kSpiClockDivider = 0xFF;
inline constexpr std::uint8_t kKeepSelectFlag = 1U << 6;

inline constexpr int kUnusedPort0 = 0;
inline constexpr int kInterruptPort = 1;
inline constexpr int kBoxIdPort = 2;
inline constexpr int kLowSelectPort = 3;
inline constexpr int kHighSelectPort = 4;
inline constexpr std::uint8_t kRearmBit = 1U << 4;
inline constexpr int kFirstInterruptBit = 5;
inline constexpr std::uint8_t kIoBoxSelectBit = 1U << 6;
inline constexpr std::uint8_t kStrobeBit = 1U << 7;
inline constexpr std::uint8_t kUnusedPort4Bit = 1U << 5;
inline constexpr int kSpiPort = 5;
inline constexpr int kUnusedPort6 = 6;

inline constexpr std::uint32_t kIoBoxTransferBytes = 4;
inline constexpr std::uint32_t kSdiExpanderTransferBytes = 2;
inline constexpr std::uint32_t kLickometerTransferBytes = Lickometer::kAnswerBytes;

inline constexpr std::uint32_t kTtlLineMask = 0x00FFFFFF;
inline constexpr int kInputExpander = -1;
inline constexpr int kOutputExpander = -2;
inline constexpr int kLinesPerInterruptGroup = 8;
// The input expander's registers that read pins: eight at a time from pins 4, 12, 20 and 28, or
// one pin each.
inline constexpr std::uint8_t kFirstEightPinRegister = 0x44;
inline constexpr std::uint8_t kLastEightPinRegister = 0x5C;
inline constexpr int kEightPinRegisterStep = 8;
inline constexpr std::uint8_t kFirstSinglePinRegister = 0x24;
inline constexpr std::uint8_t kLastSinglePinRegister = 0x3F;
inline constexpr int kSinglePinRegisterBase = 0x20;

inline std::string Hex(unsigned value) {
    std::array<char, 8> text{};
    std::snprintf(text.data(), text.size(), "0x%02X", value);
    return text.data();
}

}  // namespace zentrix::sim::wiring

#endif
