// Talks to an IO-Warrior library with the plug-in's own report sequences: whole 8-byte pin
// reports, 64-byte special-mode reports each followed by reading its reply, and a 2 ms sleep after
// every report exchange.
#ifndef ZENTRIX_TESTS_SIMULATOR_PLUGINREPORTS_H
#define ZENTRIX_TESTS_SIMULATOR_PLUGINREPORTS_H

#include <array>
#include <cstdint>

#include "platform/Clock.h"
#include "platform/IoWarriorLibrary.h"

namespace zentrix::sim::testing {

class PluginReports {
public:
    using Report = std::array<std::uint8_t, kIow56SpecialReportSize>;

    static constexpr std::uint8_t kRearmBit = 0x10;
    static constexpr std::uint8_t kStrobeBit = 0x80;

    PluginReports(IoWarriorLibrary& library, IowHandle handle, Clock& clock)
        : m_library(library), m_handle(handle), m_clock(clock) {}

    void SelectIoBox() { WritePins(0xFF, 0xBF); }
    void SelectPort(int sdi) {
        if (sdi <= 8) {
            WritePins(static_cast<std::uint8_t>(~(1U << (sdi - 1))), 0xFF);
        } else {
            WritePins(0xFF, static_cast<std::uint8_t>(~(1U << (sdi - 9))));
        }
    }
    void DeselectAll() { WritePins(0xFF, 0xFF); }
    void Strobe() {
        WritePins(0xFF, 0x7F);
        WritePins(0xFF, 0xFF);
    }
    void Rearm() {
        m_pins[2] = static_cast<std::uint8_t>(m_pins[2] & ~kRearmBit);
        WriteCurrentPins();
        m_clock.SleepMs(1);
        m_pins[2] = static_cast<std::uint8_t>(m_pins[2] | kRearmBit);
        WriteCurrentPins();
    }
    // Sets the select and strobe ports to any levels, for misuse the plug-in never makes.
    void WritePins(std::uint8_t port3, std::uint8_t port4) {
        m_pins[4] = port3;
        m_pins[5] = port4;
        WriteCurrentPins();
    }
    // Sets any controller port (0..6) to any levels, for misuse the plug-in never makes.
    void WritePort(int port, std::uint8_t levels) {
        m_pins[1 + port] = levels;
        WriteCurrentPins();
    }
    void SetRearmLevel(bool high) {
        m_pins[2] = high ? static_cast<std::uint8_t>(m_pins[2] | kRearmBit)
                         : static_cast<std::uint8_t>(m_pins[2] & ~kRearmBit);
        WriteCurrentPins();
    }

    // The plug-in's SPI mode is 0x00 and its clock divider 0xFF; other values are misuse.
    void EnableSpi(bool enable, std::uint8_t mode = 0x00, std::uint8_t clockDivider = 0xFF) {
        Report report{};
        report[0] = 0x08;
        report[1] = enable ? 1 : 0;
        report[2] = mode;
        report[3] = clockDivider;
        WriteSpecial(report);
    }

    // Writes a special-mode report and reads its reply into the same buffer, as the plug-in does.
    Report Exchange(Report report) {
        WriteSpecial(report);
        lastReadBytes =
            m_library.Read(m_handle, kIowPipeSpecialMode, report.data(), kIow56SpecialReportSize);
        m_clock.SleepMs(2);
        return report;
    }
    std::array<std::uint8_t, 4> Transfer(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3,
                                         std::uint8_t b4) {
        const Report reply = Exchange(Report{0x09, 0x04, 0x00, b1, b2, b3, b4});
        return {reply[2], reply[3], reply[4], reply[5]};
    }
    std::array<std::uint8_t, 2> Transfer(std::uint8_t b1, std::uint8_t b2) {
        const Report reply = Exchange(Report{0x09, 0x02, 0x00, b1, b2});
        return {reply[2], reply[3]};
    }
    // Levels of controller port 0..6 from the read-pins report.
    std::uint8_t ReadPort(int port) { return Exchange(Report{0xFF})[1 + port]; }

    void WriteIoBoxRegister(std::uint8_t reg, std::uint8_t value) {
        SelectIoBox();
        Transfer(0x00, 0x00, reg, value);
        DeselectAll();
    }
    std::uint8_t ReadIoBoxRegister(std::uint8_t readCommand) {
        SelectIoBox();
        Transfer(readCommand, 0x00, 0x00, 0x00);
        DeselectAll();
        SelectIoBox();
        const auto reply = Transfer(0x00, 0x00, 0x00, 0x00);
        DeselectAll();
        return reply[1];
    }
    void WriteSdiRegister(int sdi, std::uint8_t reg, std::uint8_t value) {
        SelectPort(sdi);
        Transfer(reg, value);
        DeselectAll();
    }
    void ConfigureIoBoxExpanders() {
        SelectIoBox();
        Transfer(0x04, 0x01, 0x04, 0x01);
        for (std::uint8_t reg = 0x09; reg <= 0x0E; ++reg) {
            Transfer(reg, 0xAA, reg, 0x55);
        }
        Transfer(0x0F, 0xFF, 0x0F, 0x55);
        DeselectAll();
    }
    void ConfigurePortExpander(int sdi) {
        SelectPort(sdi);
        Transfer(0x04, 0x01);
        for (std::uint8_t reg = 0x09; reg <= 0x0F; ++reg) {
            Transfer(reg, 0x55);
        }
        DeselectAll();
    }
    // The slow-device read: a select pulse of 5 ms, then a 4-byte transfer with nothing selected.
    std::array<std::uint8_t, 4> ReadSlowDevice(int sdi) {
        SelectPort(sdi);
        m_clock.SleepMs(5);
        DeselectAll();
        return Transfer(0, 0, 0, 0);
    }

    std::uint32_t lastWrittenBytes = 0;
    std::uint32_t lastReadBytes = 0;

private:
    void WriteCurrentPins() {
        lastWrittenBytes =
            m_library.Write(m_handle, kIowPipeIoPins, m_pins.data(), kIow56PinReportSize);
        m_clock.SleepMs(2);
    }
    void WriteSpecial(const Report& report) {
        lastWrittenBytes =
            m_library.Write(m_handle, kIowPipeSpecialMode, report.data(), kIow56SpecialReportSize);
        m_clock.SleepMs(2);
    }

    IoWarriorLibrary& m_library;
    IowHandle m_handle;
    Clock& m_clock;
    std::array<std::uint8_t, kIow56PinReportSize> m_pins{0x00, 0xFF, 0xFF, 0xFF,
                                                         0xFF, 0xFF, 0xFF, 0xFF};
};

}  // namespace zentrix::sim::testing

#endif
