// One MAX7301-style SPI port expander: 16-bit frames of a command byte and a data byte, pins 4..31
// configurable as outputs or inputs, and the read-back of a read command in the following frame.
#ifndef ZENTRIX_SIMULATOR_PORTEXPANDER_H
#define ZENTRIX_SIMULATOR_PORTEXPANDER_H

#include <array>
#include <cstdint>

namespace zentrix::sim {

// Misuse of the chip that a frame revealed; the frame is still carried out as far as it can be.
enum class ExpanderMisuse {
    None,
    UnsupportedRegister,
    AccessWhileShutDown,
    InvalidPinConfiguration,
    LevelWriteToInputPin,
};

class PortExpander {
public:
    using Frame = std::array<std::uint8_t, 2>;

    static constexpr int kFirstPin = 4;
    static constexpr int kLastPin = 31;
    static constexpr std::uint8_t kReadFlag = 0x80;

    // Clocks in one frame and returns the frame clocked out during it. `outsideLevels` has bit n
    // set when something outside holds pin n high (or nothing holds it low).
    Frame Shift(Frame in, std::uint32_t outsideLevels, ExpanderMisuse& misuse);

    bool InNormalOperation() const { return (m_configuration & 0x01) != 0; }
    bool IsOutput(int pin) const;
    // Bit n set where pin n drives its line high; nothing is driven in shutdown.
    std::uint32_t DrivenHighPins() const;

private:
    std::uint8_t ReadRegister(std::uint8_t reg, std::uint32_t outsideLevels,
                              ExpanderMisuse& misuse) const;
    void WriteRegister(std::uint8_t reg, std::uint8_t value, ExpanderMisuse& misuse);
    bool PinLevel(int pin, std::uint32_t outsideLevels) const;
    void CheckPinAccess(ExpanderMisuse& misuse) const;

    static constexpr std::uint8_t kModeOutput = 0b01;
    static constexpr std::uint8_t kModeInput = 0b10;

    // Bit 0 clear is shutdown, the power-up state.
    std::uint8_t m_configuration = 0;
    std::array<std::uint8_t, kLastPin + 1> m_pinModes = MakePowerUpModes();
    std::uint32_t m_levelLatches = 0;
    Frame m_nextOut{0, 0};

    static constexpr std::array<std::uint8_t, kLastPin + 1> MakePowerUpModes() {
        std::array<std::uint8_t, kLastPin + 1> modes{};
        modes.fill(kModeInput);
        return modes;
    }
};

}  // namespace zentrix::sim

#endif
