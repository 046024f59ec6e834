// The chips behind the SPI lines: the select each sees, the bits shifted through them, what they
// latch when their select rises, and the outputs and lickometer counts that follow.
#include "simulator/SimulatedIoBox.h"

#include <algorithm>
#include <string>

#include "simulator/BoxWiring.h"
#include "simulator/EventLog.h"

namespace zentrix::sim {

using namespace wiring;

namespace {

const char* MisuseText(ExpanderMisuse misuse) {
    switch (misuse) {
        case ExpanderMisuse::UnsupportedRegister:
            return "unsupported register";
        case ExpanderMisuse::AccessWhileShutDown:
            return "pin register accessed while the chip is in shutdown";
        case ExpanderMisuse::InvalidPinConfiguration:
            return "pin configuration 00 written";
        case ExpanderMisuse::LevelWriteToInputPin:
            return "level register written while it covers an input pin";
        case ExpanderMisuse::None:
            break;
    }
    return "";
}

}  // namespace

void SimulatedIoBox::ReadLickometer(std::uint64_t now, std::uint32_t count, std::uint8_t* in) {
    if (!m_armedLickometer) {
        ReportError(now, "SPI transfer with no select line low and no lickometer latched");
        return;
    }
    const int sdi = *m_armedLickometer;
    if (count != kLickometerTransferBytes) {
        ReportError(now, "SPI transfer of " + std::to_string(count) +
                             " bytes to the lickometer on SDI " + std::to_string(sdi) +
                             " (4 expected)");
        return;
    }
    auto& lickometer = m_sdi[sdi - 1].lickometer;
    if (const auto shortSelectMs = lickometer.ShortSelectMs()) {
        ReportError(now, "lickometer on SDI " + std::to_string(sdi) + " read after a select of " +
                             std::to_string(*shortSelectMs) + " ms (at least " +
                             std::to_string(Lickometer::kSelectHoldMs) +
                             " needed): it answers its previous counts");
    }
    if (m_spiModeValid && m_spiClockValid) {
        const auto answer = lickometer.ShiftOut();
        std::copy(answer.begin(), answer.end(), in);
    }
    m_armedLickometer.reset();
}

void SimulatedIoBox::ShiftSelectedChips(std::uint32_t count, const std::uint8_t* out,
                                        std::uint8_t* in) {
    int answering = 0;
    std::array<std::uint8_t, kMaxSpiBytes> shiftedOut{};
    if (m_ioBoxSelect.asserted) {
        ++answering;
        if (!m_spiModeValid) {
            m_ioBoxSelect.garbled = true;
        } else {
            // The output expander is first on the data line and passes its bits on to the input
            // expander, so after four bytes the first word sits in the input expander.
            for (std::uint32_t i = 0; i < count; ++i) {
                shiftedOut[i] = m_inputExpander.ShiftByte(m_outputExpander.ShiftByte(out[i]));
            }
        }
    }
    for (auto& slot : m_sdi) {
        if (!slot.select.asserted) {
            continue;
        }
        ++answering;
        if (!m_spiModeValid || !m_spiClockValid) {
            slot.select.garbled = true;
            continue;
        }
        for (std::uint32_t i = 0; i < count; ++i) {
            shiftedOut[i] = slot.expander.ShiftByte(out[i]);
        }
    }
    const bool garbled = m_ioBoxSelect.garbled ||
                         std::any_of(m_sdi.begin(), m_sdi.end(),
                                     [](const SdiSlot& slot) { return slot.select.garbled; });
    if (answering == 1 && !garbled) {
        std::copy(shiftedOut.begin(), shiftedOut.begin() + count, in);
    }
}

void SimulatedIoBox::UpdateChipSelects(std::uint64_t now, bool controllerSelect) {
    const bool ioBoxSelected =
        controllerSelect && (m_pinLevels[kHighSelectPort] & kIoBoxSelectBit) == 0;
    const bool ioBoxWasSelected = m_ioBoxSelect.asserted;
    m_ioBoxSelect.asserted = ioBoxSelected;
    if (ioBoxWasSelected && !ioBoxSelected) {
        LatchIoBoxExpanders(now);
    }
    for (int sdi = 1; sdi <= kSdiPortCount; ++sdi) {
        auto& slot = m_sdi[sdi - 1];
        const bool selected =
            controllerSelect && slot.board == SdiBoard::TopUnitInterface && SdiSelected(sdi);
        const bool wasSelected = slot.select.asserted;
        slot.select.asserted = selected;
        if (wasSelected && !selected) {
            LatchSdiExpander(now, sdi);
        }
    }
}

void SimulatedIoBox::LatchIoBoxExpanders(std::uint64_t now) {
    if (m_ioBoxSelect.garbled) {
        m_ioBoxSelect.garbled = false;
        return;
    }
    NoteSampledInputs(now, m_inputExpander.HeldFrame());
    LatchExpander(now, m_inputExpander, kInputExpander, InputExpanderOutside());
    LatchExpander(now, m_outputExpander, kOutputExpander, OutsideDrive{});
    RefreshTtlOutputs(now);
}

void SimulatedIoBox::NoteSampledInputs(std::uint64_t now, PortExpander::Frame frame) {
    if ((frame[0] & PortExpander::kReadFlag) == 0 || !m_inputExpander.InNormalOperation()) {
        return;
    }
    const auto reg = static_cast<std::uint8_t>(frame[0] & ~PortExpander::kReadFlag);
    int firstPin = 0;
    int pinCount = 0;
    if (reg >= kFirstEightPinRegister && reg <= kLastEightPinRegister &&
        (reg - kFirstEightPinRegister) % kEightPinRegisterStep == 0) {
        firstPin = PortExpander::kFirstPin + (reg - kFirstEightPinRegister);
        pinCount = 8;
    } else if (reg >= kFirstSinglePinRegister && reg <= kLastSinglePinRegister) {
        firstPin = reg - kSinglePinRegisterBase;
        pinCount = 1;
    }
    for (int pin = firstPin; pin < firstPin + pinCount; ++pin) {
        const int lineIndex = pin - PortExpander::kFirstPin;
        if (lineIndex < 0 || lineIndex >= static_cast<int>(m_inputs.Count()) ||
            m_inputExpander.IsOutput(pin)) {
            continue;
        }
        if (m_inputs.NoteSampled(static_cast<std::size_t>(lineIndex)) && m_eventLog != nullptr) {
            m_eventLog->LineChanged(now, m_boxId, lineIndex / kTtlLineCount + 1,
                                    lineIndex % kTtlLineCount + 1, EventLog::Kind::Read,
                                    m_inputs.Level(static_cast<std::size_t>(lineIndex)));
        }
    }
}

void SimulatedIoBox::LatchSdiExpander(std::uint64_t now, int sdi) {
    auto& slot = m_sdi[sdi - 1];
    if (slot.select.garbled) {
        slot.select.garbled = false;
        return;
    }
    LatchExpander(now, slot.expander, sdi, OutsideDrive{});
}

void SimulatedIoBox::LatchExpander(std::uint64_t now, PortExpander& expander, int chip,
                                   OutsideDrive outside) {
    const auto frame = expander.HeldFrame();
    const ExpanderMisuse misuse = expander.Latch(outside);
    if (misuse == ExpanderMisuse::None) {
        return;
    }
    const std::string name = chip == kInputExpander ? std::string("IO box input expander")
                             : chip == kOutputExpander
                                 ? std::string("IO box output expander")
                                 : "SDI " + std::to_string(chip) + " expander";
    const auto reg = static_cast<unsigned>(frame[0] & ~PortExpander::kReadFlag);
    ReportError(now, name + ": " + MisuseText(misuse) + " (register " + Hex(reg) + ", frame " +
                         Hex(frame[0]) + " " + Hex(frame[1]) + ")");
}

bool SimulatedIoBox::SdiSelected(int sdi) const {
    if (sdi <= 8) {
        return ((m_pinLevels[kLowSelectPort] >> (sdi - 1)) & 1U) == 0;
    }
    return ((m_pinLevels[kHighSelectPort] >> (sdi - 9)) & 1U) == 0;
}

bool SimulatedIoBox::RearmHigh() const {
    return (m_pinLevels[kInterruptPort] & kRearmBit) != 0;
}

OutsideDrive SimulatedIoBox::InputExpanderOutside() const {
    return OutsideDrive{kTtlLineMask << PortExpander::kFirstPin, m_inputs.Levels()
                                                                     << PortExpander::kFirstPin};
}

void SimulatedIoBox::RefreshTtlOutputs(std::uint64_t now) {
    const std::uint32_t ttl =
        (m_outputExpander.DrivenHighPins() >> PortExpander::kFirstPin) & kTtlLineMask;
    const std::uint32_t ttlChanged = ttl ^ m_ttlOutputs;
    m_ttlOutputs = ttl;
    for (int lineIndex = 0; lineIndex < kTtlPortCount * kTtlLineCount; ++lineIndex) {
        if (((ttlChanged >> lineIndex) & 1U) == 0) {
            continue;
        }
        const bool level = ((ttl >> lineIndex) & 1U) != 0;
        const int port = lineIndex / kTtlLineCount + 1;
        const int line = lineIndex % kTtlLineCount + 1;
        if (m_eventLog != nullptr) {
            m_eventLog->LineChanged(now, m_boxId, port, line, EventLog::Kind::Output, level);
        }
        if (!level || line != 1) {
            continue;
        }
        for (auto& pellet : m_pellets) {
            if (pellet.Port() == port) {
                pellet.TriggerRose(now);
            }
        }
    }
}

void SimulatedIoBox::LatchSdiOutputs(std::uint64_t now) {
    for (int sdi = 1; sdi <= kSdiPortCount; ++sdi) {
        auto& slot = m_sdi[sdi - 1];
        if (slot.board != SdiBoard::TopUnitInterface) {
            continue;
        }
        const std::uint32_t changed =
            slot.outputs.Strobe(slot.expander.DrivenHighPins() >> PortExpander::kFirstPin);
        const std::uint32_t lines = slot.outputs.Levels();
        for (int line = 1; line <= kSdiLineCount && m_eventLog != nullptr; ++line) {
            if (((changed >> (line - 1)) & 1U) != 0) {
                m_eventLog->LineChanged(now, m_boxId, kTtlPortCount + sdi, line,
                                        EventLog::Kind::Output, ((lines >> (line - 1)) & 1U) != 0);
            }
        }
    }
}

}  // namespace zentrix::sim
