// One MAX7301-style SPI port expander: a 16-bit shift register clocked while the chip is selected,
// whose frame (a command byte and a data byte) is carried out when the select rises, pins 4..31
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

// The pins something outside the chip drives (bit n for pin n), and the levels it drives them to.
struct OutsideDrive {
    std::uint32_t driven = 0;
    std::uint32_t levels = 0;
};

class PortExpander {
public:
    using Frame = std::array<std::uint8_t, 2>;

    static constexpr int kFirstPin = 4;
    static constexpr int kLastPin = 31;
    static constexpr std::uint8_t kReadFlag = 0x80;

    // Clocks one byte in while the chip is selected and returns the byte clocked out; the chip
    // keeps the last 16 bits clocked in.
    std::uint8_t ShiftByte(std::uint8_t in);
    // The frame the shift register holds, which the next rising select carries out.
    Frame HeldFrame() const { return m_shiftRegister; }
    // Carries out the held frame, as the rising select does; a read command leaves its answer in
    // the shift register for the next frame, any other frame stays there as its own echo.
    ExpanderMisuse Latch(OutsideDrive outside);

    bool InNormalOperation() const { return (m_configuration & 0x01) != 0; }
    bool IsOutput(int pin) const;
    // Bit n set where pin n drives its line high; nothing is driven in shutdown.
    std::uint32_t DrivenHighPins() const;

private:
    std::uint8_t ReadRegister(std::uint8_t reg, OutsideDrive outside, ExpanderMisuse& misuse) const;
    void WriteRegister(std::uint8_t reg, std::uint8_t value, ExpanderMisuse& misuse);
    bool PinLevel(int pin, OutsideDrive outside) const;
    void CheckPinAccess(ExpanderMisuse& misuse) const;

    static constexpr std::uint8_t kModeOutput = 0b01;
    static constexpr std::uint8_t kModeInput = 0b10;
    static constexpr std::uint8_t kModeInputPullUp = 0b11;

    // Bit 0 clear is shutdown, the power-up state.
    std::uint8_t m_configuration = 0;
    std::array<std::uint8_t, kLastPin + 1> m_pinModes = MakePowerUpModes();
    std::uint32_t m_levelLatches = 0;
    Frame m_shiftRegister{0, 0};

    static constexpr std::array<std::uint8_t, kLastPin + 1> MakePowerUpModes() {
        std::array<std::uint8_t, kLastPin + 1> modes{};
        modes.fill(kModeInput);
        return modes;
    }
};

}  // namespace zentrix::sim

#endif
