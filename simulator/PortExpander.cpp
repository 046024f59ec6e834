#include "simulator/PortExpander.h"

namespace zentrix::sim {

namespace {

constexpr std::uint8_t kNoOp = 0x00;
constexpr std::uint8_t kConfiguration = 0x04;
constexpr std::uint8_t kFirstPinConfiguration = 0x09;
constexpr std::uint8_t kLastPinConfiguration = 0x0F;
constexpr std::uint8_t kFirstSinglePin = 0x24;
constexpr std::uint8_t kLastSinglePin = 0x3F;
constexpr std::uint8_t kFirstEightPins = 0x44;
constexpr std::uint8_t kLastEightPins = 0x5F;
constexpr std::uint8_t kSinglePinBase = 0x20;
constexpr std::uint8_t kEightPinsBase = 0x40;

bool IsPinConfiguration(std::uint8_t reg) {
    return reg >= kFirstPinConfiguration && reg <= kLastPinConfiguration;
}
bool IsSinglePin(std::uint8_t reg) {
    return reg >= kFirstSinglePin && reg <= kLastSinglePin;
}
bool IsEightPins(std::uint8_t reg) {
    return reg >= kFirstEightPins && reg <= kLastEightPins;
}

int FirstPinOfConfiguration(std::uint8_t reg) {
    return PortExpander::kFirstPin + 4 * (reg - kFirstPinConfiguration);
}

void Note(ExpanderMisuse& misuse, ExpanderMisuse found) {
    if (misuse == ExpanderMisuse::None) {
        misuse = found;
    }
}

}  // namespace

std::uint8_t PortExpander::ShiftByte(std::uint8_t in) {
    const std::uint8_t out = m_shiftRegister[0];
    m_shiftRegister = {m_shiftRegister[1], in};
    return out;
}

ExpanderMisuse PortExpander::Latch(OutsideDrive outside) {
    ExpanderMisuse misuse = ExpanderMisuse::None;
    const Frame frame = m_shiftRegister;
    const auto reg = static_cast<std::uint8_t>(frame[0] & ~kReadFlag);
    if ((frame[0] & kReadFlag) != 0) {
        m_shiftRegister = {frame[0], ReadRegister(reg, outside, misuse)};
    } else {
        WriteRegister(reg, frame[1], misuse);
    }
    return misuse;
}

bool PortExpander::IsOutput(int pin) const {
    return pin >= kFirstPin && pin <= kLastPin && m_pinModes[pin] == kModeOutput;
}

std::uint32_t PortExpander::DrivenHighPins() const {
    if (!InNormalOperation()) {
        return 0;
    }
    std::uint32_t driven = 0;
    for (int pin = kFirstPin; pin <= kLastPin; ++pin) {
        if (IsOutput(pin) && ((m_levelLatches >> pin) & 1U) != 0) {
            driven |= 1U << pin;
        }
    }
    return driven;
}

bool PortExpander::PinLevel(int pin, OutsideDrive outside) const {
    if (IsOutput(pin)) {
        return ((m_levelLatches >> pin) & 1U) != 0;
    }
    if (((outside.driven >> pin) & 1U) != 0) {
        return ((outside.levels >> pin) & 1U) != 0;
    }
    // An input nothing drives floats; without its pull-up it reads low.
    return m_pinModes[pin] == kModeInputPullUp;
}

void PortExpander::CheckPinAccess(ExpanderMisuse& misuse) const {
    if (!InNormalOperation()) {
        Note(misuse, ExpanderMisuse::AccessWhileShutDown);
    }
}

std::uint8_t PortExpander::ReadRegister(std::uint8_t reg, OutsideDrive outside,
                                        ExpanderMisuse& misuse) const {
    if (reg == kNoOp) {
        return 0;
    }
    if (reg == kConfiguration) {
        return m_configuration;
    }
    if (IsPinConfiguration(reg)) {
        const int first = FirstPinOfConfiguration(reg);
        unsigned value = 0;
        for (int i = 0; i < 4; ++i) {
            value |= static_cast<unsigned>(m_pinModes[first + i]) << (2 * i);
        }
        return static_cast<std::uint8_t>(value);
    }
    if (IsSinglePin(reg)) {
        CheckPinAccess(misuse);
        return PinLevel(reg - kSinglePinBase, outside) ? 1 : 0;
    }
    if (IsEightPins(reg)) {
        CheckPinAccess(misuse);
        const int first = reg - kEightPinsBase;
        unsigned value = 0;
        for (int i = 0; i < 8 && first + i <= kLastPin; ++i) {
            value |= (PinLevel(first + i, outside) ? 1U : 0U) << i;
        }
        return static_cast<std::uint8_t>(value);
    }
    Note(misuse, ExpanderMisuse::UnsupportedRegister);
    return 0;
}

void PortExpander::WriteRegister(std::uint8_t reg, std::uint8_t value, ExpanderMisuse& misuse) {
    if (reg == kNoOp) {
        return;
    }
    if (reg == kConfiguration) {
        m_configuration = value;
        return;
    }
    if (IsPinConfiguration(reg)) {
        const int first = FirstPinOfConfiguration(reg);
        for (int i = 0; i < 4; ++i) {
            const auto mode = static_cast<std::uint8_t>((value >> (2 * i)) & 0b11);
            if (mode == 0) {
                Note(misuse, ExpanderMisuse::InvalidPinConfiguration);
            } else {
                m_pinModes[first + i] = mode;
            }
        }
        return;
    }
    int first = 0;
    int count = 0;
    if (IsSinglePin(reg)) {
        first = reg - kSinglePinBase;
        count = 1;
    } else if (IsEightPins(reg)) {
        first = reg - kEightPinsBase;
        count = 8;
    } else {
        Note(misuse, ExpanderMisuse::UnsupportedRegister);
        return;
    }
    CheckPinAccess(misuse);
    for (int i = 0; i < count && first + i <= kLastPin; ++i) {
        const int pin = first + i;
        if (!IsOutput(pin)) {
            Note(misuse, ExpanderMisuse::LevelWriteToInputPin);
        }
        const std::uint32_t mask = 1U << pin;
        m_levelLatches =
            ((value >> i) & 1U) != 0 ? (m_levelLatches | mask) : (m_levelLatches & ~mask);
    }
}

}  // namespace zentrix::sim
