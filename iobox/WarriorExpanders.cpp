#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "iobox/Warrior.h"
#include "iobox/WarriorProtocol.h"
#include "platform/Log.h"

namespace {

using namespace zentrix::warrior;

// Configuration registers of the IO box's input expander, in an order whose consecutive values
// all differ (0x01, 0xFF, 0xAA, ...), so that a frame the expander missed shows in the next reply.
constexpr std::uint8_t kIOBoxCheckRegisters[] = {0x04, 0x0F, 0x09, 0x04, 0x0A, 0x0F, 0x0B,
                                                 0x04, 0x0C, 0x0F, 0x0D, 0x04, 0x0E, 0x0F};
// Three rounds: a select that is late now and then still shows.
constexpr int kIOBoxCheckRounds = 3;
// A top unit interface's expander: its configuration register and one of its output registers.
constexpr std::uint8_t kPortCheckRegisters[] = {0x04, 0x09, 0x04, 0x0D, 0x04, 0x0F, 0x04, 0x0B};

std::uint8_t InputExpanderConfiguration(std::uint8_t reg) {
    if (reg == kIobRegConfiguration) {
        return kConfigNormalOperation;
    }
    return reg == kLastPinConfiguration ? kFourInputsPullUp : kFourInputs;
}

std::uint8_t PortExpanderConfiguration(std::uint8_t reg) {
    return reg == kIobRegConfiguration ? kConfigNormalOperation : kFourOutputs;
}

}  // namespace

void TCHiIobWarrior::SelectIOBox() {
    m_abyIOReport[kPort3Byte] = 0xFF;
    m_abyIOReport[kPort4Byte] = kSelectIOBoxLevels;
    WritePinReport();
}

void TCHiIobWarrior::SelectPort(std::int32_t port) {
    if (port >= 1 && port <= 8) {
        m_abyIOReport[kPort3Byte] = static_cast<std::uint8_t>(~(1u << (port - 1)));
        m_abyIOReport[kPort4Byte] = 0xFF;
    } else if (port >= 9 && port <= 13) {
        m_abyIOReport[kPort3Byte] = 0xFF;
        m_abyIOReport[kPort4Byte] = static_cast<std::uint8_t>(~(1u << (port - 9)));
    } else {
        return;
    }
    m_bPortSelected = true;
    WritePinReport();
}

void TCHiIobWarrior::DeselectAll() {
    m_abyIOReport[kPort3Byte] = 0xFF;
    m_abyIOReport[kPort4Byte] = 0xFF;
    WritePinReport();
}

void TCHiIobWarrior::SetStrobe(bool active) {
    m_abyIOReport[kPort3Byte] = 0xFF;
    m_abyIOReport[kPort4Byte] = active ? kStrobeLevels : 0xFF;
    WritePinReport();
}

void TCHiIobWarrior::StrobeIfSelected() {
    if (m_bPortSelected) {
        m_nStrobeFromUs = m_clock.NowUs();
        SetStrobe(true);
        SetStrobe(false);
        m_nStrobeByUs = m_nReportEndUs;
        m_bPortSelected = false;
    }
}

void TCHiIobWarrior::PulseRearmLine() {
    // A change during the pulse is not latched: only a read after it vouches for a register again.
    for (auto& [readCommand, knowledge] : m_mapInputKnowledge) {
        knowledge.readSinceRearm = false;
    }
    m_abyIOReport[kPort1Byte] = static_cast<std::uint8_t>(m_abyIOReport[kPort1Byte] & ~kRearmBit);
    WritePinReport();
    m_clock.SleepMs(zentrix::kRearmPulseMs);
    m_abyIOReport[kPort1Byte] = static_cast<std::uint8_t>(m_abyIOReport[kPort1Byte] | kRearmBit);
    WritePinReport();
}

void TCHiIobWarrior::EnableSpi(bool enable) {
    std::memset(m_abySpecialReport, 0, sizeof m_abySpecialReport);
    m_abySpecialReport[0] = kReportSpiEnable;
    m_abySpecialReport[1] = enable ? 0x01 : 0x00;
    m_abySpecialReport[2] = 0x00;
    m_abySpecialReport[3] = 0xFF;
    WriteReport(m_hDevice, zentrix::kIowPipeSpecialMode, m_abySpecialReport,
                sizeof m_abySpecialReport);
}

bool TCHiIobWarrior::SpiTransfer(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3,
                                 std::uint8_t b4) {
    std::memset(m_abySpecialReport, 0, sizeof m_abySpecialReport);
    m_abySpecialReport[0] = kReportSpiTransfer;
    m_abySpecialReport[1] = 0x04;
    m_abySpecialReport[3] = b1;
    m_abySpecialReport[4] = b2;
    m_abySpecialReport[5] = b3;
    m_abySpecialReport[6] = b4;
    return SpecialTransfer();
}

bool TCHiIobWarrior::SpiTransfer(std::uint8_t b1, std::uint8_t b2) {
    std::memset(m_abySpecialReport, 0, sizeof m_abySpecialReport);
    m_abySpecialReport[0] = kReportSpiTransfer;
    m_abySpecialReport[1] = 0x02;
    m_abySpecialReport[3] = b1;
    m_abySpecialReport[4] = b2;
    return SpecialTransfer();
}

bool TCHiIobWarrior::ReadPins() {
    std::memset(m_abySpecialReport, 0, sizeof m_abySpecialReport);
    m_abySpecialReport[0] = kReportReadPins;
    const std::uint64_t fromUs = m_clock.NowUs();
    m_bPinCheckRead = SpecialTransfer();
    m_nPinCheckFromUs = fromUs;
    return m_bPinCheckRead;
}

std::uint8_t TCHiIobWarrior::GetSpecialReportByte(std::size_t index) const {
    return index < sizeof m_abySpecialReport ? m_abySpecialReport[index] : 0;
}

void TCHiIobWarrior::WriteIOBoxRegister(std::uint8_t reg, std::uint8_t value) {
    SelectIOBox();
    SpiTransfer(0x00, 0x00, reg, value);
    DeselectAll();
}

bool TCHiIobWarrior::ReadIOBoxRegister(std::uint8_t readCommand, std::uint8_t& value) {
    SelectIOBox();
    const bool commandSent = SpiTransfer(readCommand, 0x00, 0x00, 0x00);
    DeselectAll();
    SelectIOBox();
    const bool replyRead = SpiTransfer(0x00, 0x00, 0x00, 0x00);
    DeselectAll();
    value = m_abySpecialReport[3];
    return commandSent && replyRead;
}

bool TCHiIobWarrior::ReadIOBoxRegisters(const std::uint8_t* readCommands,
                                        std::uint8_t* const* values, std::size_t count) {
    // The expander takes a register's level somewhere between the start of the frame that carries
    // its read command and the reply of the next frame, which brings the level back.
    std::uint64_t latchedFromUs = 0;
    for (std::size_t frame = 0; frame <= count; ++frame) {
        const std::uint64_t frameFromUs = m_clock.NowUs();
        SelectIOBox();
        const bool ok = SpiTransfer(frame < count ? readCommands[frame] : 0x00, 0x00, 0x00, 0x00);
        const std::uint64_t replyByUs = m_nReportEndUs;
        DeselectAll();
        if (!ok) {
            return false;
        }
        if (frame > 0) {
            *values[frame - 1] = m_abySpecialReport[3];
            NoteInputRead(readCommands[frame - 1], m_abySpecialReport[3], latchedFromUs, replyByUs);
        }
        latchedFromUs = frameFromUs;
    }
    return true;
}

void TCHiIobWarrior::ConfigureIOBoxExpanders() {
    SelectIOBox();
    SpiTransfer(kIobRegConfiguration, kConfigNormalOperation, kIobRegConfiguration,
                kConfigNormalOperation);
    for (std::uint8_t reg = kFirstPinConfiguration; reg < kLastPinConfiguration; ++reg) {
        SpiTransfer(reg, kFourInputs, reg, kFourOutputs);
    }
    SpiTransfer(kLastPinConfiguration, kFourInputsPullUp, kLastPinConfiguration, kFourOutputs);
    DeselectAll();
}

void TCHiIobWarrior::ConfigurePortExpander(std::int32_t port) {
    SelectPort(port);
    SpiTransfer(kIobRegConfiguration, kConfigNormalOperation);
    for (std::uint8_t reg = kFirstPinConfiguration; reg <= kLastPinConfiguration; ++reg) {
        SpiTransfer(reg, kFourOutputs);
    }
    DeselectAll();
}

void TCHiIobWarrior::Configure(const TCHiIobPortLines& ttlOutputs,
                               const TCHiIobPortLines& sdiOutputs,
                               const TCHiIobPortLines& ttlInputs, const TCHiIobPortLines& sdiInputs,
                               const TCHiIobSlowDevices& slowDevices,
                               const std::vector<std::int32_t>& sdiExpanderPorts,
                               const std::vector<std::int32_t>& slowDevicePorts,
                               double lickometerFrequency) {
    m_vecExpanderPorts = sdiExpanderPorts;
    EnableSpi(true);
    ConfigureIOBoxExpanders();
    for (const std::int32_t port : sdiExpanderPorts) {
        ConfigurePortExpander(port);
    }
    RegisterOutputs(ttlOutputs, sdiOutputs);
    RegisterInputs(ttlInputs, sdiInputs, slowDevices);
    for (const std::int32_t port : slowDevicePorts) {
        PrimeSlowDevice(port);
    }
    // Whole frequency units times 1000 ms, clamped so that a huge registry value cannot overflow.
    const double wholeUnits = std::trunc(lickometerFrequency);
    constexpr double kMaxPeriod = std::numeric_limits<std::uint32_t>::max();
    double periodMs = wholeUnits * 1000.0;
    if (!(periodMs >= 0.0)) {
        periodMs = 0.0;
    }
    m_pSlowDeviceTimer->SetPeriod(static_cast<std::uint32_t>(std::min(periodMs, kMaxPeriod)));
    m_pSlowDeviceTimer->Restart();
}

void TCHiIobWarrior::Unconfigure() {
    EnableSpi(false);
}

bool TCHiIobWarrior::VerifyLeanTiming(std::string& reason) {
    const zentrix::Timing before = m_eTiming;
    m_eTiming = zentrix::Timing::Lean;
    std::size_t frames = 0;
    std::size_t wrong = 0;
    std::string first;
    // Each frame carries the next read command and brings back the register the frame before
    // asked for; a frame clocked with the select lines of before goes to no chip and shows as a
    // wrong answer in the frame after it.
    const auto check = [&](std::uint8_t reg, std::uint8_t expected, const std::string& chip) {
        ++frames;
        const std::uint8_t got = m_abySpecialReport[3];
        if (got != expected) {
            if (wrong++ == 0) {
                first = chip + " register " + Hex(reg) + " read back as " + Hex(got) +
                        " instead of " + Hex(expected);
            }
        }
    };
    bool transferred = true;
    std::uint8_t previous = 0;
    bool havePrevious = false;
    for (int round = 0; round < kIOBoxCheckRounds && transferred; ++round) {
        for (const std::uint8_t reg : kIOBoxCheckRegisters) {
            SelectIOBox();
            transferred = SpiTransfer(static_cast<std::uint8_t>(reg | kReadBit), 0x00, 0x00, 0x00);
            DeselectAll();
            if (!transferred) {
                break;
            }
            if (havePrevious) {
                check(previous, InputExpanderConfiguration(previous), "IO box input expander");
            }
            previous = reg;
            havePrevious = true;
        }
    }
    for (const std::int32_t port : m_vecExpanderPorts) {
        havePrevious = false;
        for (const std::uint8_t reg : kPortCheckRegisters) {
            if (!transferred) {
                break;
            }
            SelectPort(port);
            transferred = SpiTransfer(static_cast<std::uint8_t>(reg | kReadBit), 0x00);
            DeselectAll();
            if (transferred && havePrevious) {
                check(previous, PortExpanderConfiguration(previous),
                      "SDI port " + std::to_string(port) + " expander");
            }
            previous = reg;
            havePrevious = true;
        }
    }
    StrobeIfSelected();
    if (!transferred) {
        reason = "a transfer of the check failed";
    } else if (wrong != 0) {
        reason = std::to_string(wrong) + " of " + std::to_string(frames) +
                 " read-backs with lean waits did not match (first: " + first +
                 "): the box takes select lines later than lean waits allow";
    } else {
        reason = "all " + std::to_string(frames) + " read-backs with lean waits matched";
    }
    const bool verified = transferred && wrong == 0;
    m_eTiming = verified ? zentrix::Timing::Lean : before;
    return verified;
}
