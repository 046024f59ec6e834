#include <algorithm>
#include <array>
#include <string>

#include "iobox/Warrior.h"
#include "iobox/WarriorProtocol.h"
#include "platform/Log.h"

namespace {

using namespace zentrix::warrior;

// Enough for every read of several passes, should the box's owner not take them for a while.
constexpr std::size_t kMaxKeptInputReads = 256;

}  // namespace

void TCHiIobWarrior::RegisterOutputs(const TCHiIobPortLines& ttlOutputs,
                                     const TCHiIobPortLines& sdiOutputs) {
    m_mapOutputs.clear();
    for (const auto& [port, line] : ttlOutputs) {
        m_mapOutputs[kIOBoxSelector].try_emplace(OutputRegisterOfPin(TtlPin(port, line)));
    }
    for (const auto& [port, line] : sdiOutputs) {
        m_mapOutputs[port].try_emplace(OutputRegisterOfPin(SdiPin(line)));
    }
}

void TCHiIobWarrior::RegisterInputs(const TCHiIobPortLines& ttlInputs,
                                    const TCHiIobPortLines& sdiInputs,
                                    const TCHiIobSlowDevices& slowDevices) {
    m_mapInputs.clear();
    for (const auto& [port, line] : ttlInputs) {
        m_mapInputs[kIOBoxSelector].try_emplace(ReadCommandOfPin(TtlPin(port, line)), 0xFF);
    }
    for (const auto& [port, line] : sdiInputs) {
        m_mapInputs[port].try_emplace(ReadCommandOfPin(SdiPin(line)), 0xFF);
    }
    m_mapSlowDevices.clear();
    for (const auto& [port, count] : slowDevices) {
        // A reply has at most 62 bytes after its two header bytes.
        const auto size = static_cast<std::size_t>(std::clamp(count, 0, 62));
        m_mapSlowDevices.try_emplace(port, size, 0);
    }
}

bool TCHiIobWarrior::SetOutput(std::int32_t portId, std::int32_t line, bool level,
                               std::int32_t durationMs, std::int32_t deviceId,
                               std::int32_t commandId) {
    std::int32_t selector = 0;
    std::int32_t pin = 0;
    if (!LocatePin(portId, line, selector, pin)) {
        return true;
    }
    const auto registers = m_mapOutputs.find(selector);
    if (registers == m_mapOutputs.end()) {
        return true;
    }
    const auto found = registers->second.find(OutputRegisterOfPin(pin));
    if (found == registers->second.end()) {
        return true;
    }
    OutputEntry& entry = found->second;
    const std::int32_t bit = BitOfPin(pin);
    const std::uint8_t reg = found->first;
    Pulse command;
    command.restoreLevel = level ? 0 : 1;
    command.durationMs = durationMs;
    command.deviceId = deviceId;
    command.commandId = commandId;
    if (durationMs < 1) {
        const auto mask = static_cast<std::uint8_t>(1u << bit);
        entry.current =
            static_cast<std::uint8_t>(level ? (entry.current | mask) : (entry.current & ~mask));
        NoteOutputChange(false, command, selector, reg, level ? 1 : 0);
        return true;
    }
    const auto waiting = entry.waitingPulses.find(bit);
    const bool queueBehind = entry.pulses.count(bit) != 0 ||
                             (waiting != entry.waitingPulses.end() && !waiting->second.empty());
    if (!queueBehind) {
        StartPulse(selector, reg, entry, bit, level, command);
        return true;
    }
    std::deque<Pulse>& queue = waiting != entry.waitingPulses.end()
                                   ? waiting->second
                                   : entry.waitingPulses.try_emplace(bit).first->second;
    if (queue.size() >= kMaxWaitingPulses) {
        return false;
    }
    queue.push_back(command);
    return true;
}

void TCHiIobWarrior::StartPulse(std::int32_t selector, std::uint8_t reg, OutputEntry& entry,
                                std::int32_t bit, bool level, const Pulse& command) {
    // The pulse goes in before the level changes, so that a failed allocation changes nothing.
    Pulse& pulse = entry.pulses.insert_or_assign(bit, command).first->second;
    pulse.restoreLevel = level ? 0 : 1;
    pulse.startMs = 0;
    pulse.started = false;
    NoteOutputChange(false, command, selector, reg, level ? 1 : 0);
    const auto mask = static_cast<std::uint8_t>(1u << bit);
    entry.current =
        static_cast<std::uint8_t>(level ? (entry.current | mask) : (entry.current & ~mask));
    // A pulse that changes nothing in the register would never be written, so its timer would
    // never start and the line would stay blocked for further pulses: start it now instead.
    if (entry.current == entry.lastWritten) {
        pulse.startMs = m_clock.NowMs();
        pulse.started = true;
    }
}

std::size_t TCHiIobWarrior::EndDuePulses(std::int32_t selector, std::uint8_t reg,
                                         OutputEntry& entry, bool forceEnd) {
    std::size_t dropped = 0;
    for (auto it = entry.waitingPulses.begin(); it != entry.waitingPulses.end();) {
        std::deque<Pulse>& queue = it->second;
        if (forceEnd) {
            dropped += queue.size();
            queue.clear();
        } else if (!queue.empty() && entry.pulses.count(it->first) == 0) {
            // The pulse before this one ended in an earlier pass, whose write left the line at its
            // resting level.
            const Pulse next = queue.front();
            StartPulse(selector, reg, entry, it->first, next.restoreLevel == 0, next);
            queue.pop_front();
        }
        if (queue.empty()) {
            it = entry.waitingPulses.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = entry.pulses.begin(); it != entry.pulses.end();) {
        Pulse& pulse = it->second;
        if (!pulse.started) {
            ++it;
            continue;
        }
        const std::uint32_t elapsed = m_clock.NowMs() - pulse.startMs;
        if (forceEnd || elapsed >= static_cast<std::uint32_t>(pulse.durationMs)) {
            const auto mask = static_cast<std::uint8_t>(1u << it->first);
            entry.current = static_cast<std::uint8_t>(
                pulse.restoreLevel != 0 ? (entry.current | mask) : (entry.current & ~mask));
            NoteOutputChange(true, pulse, selector, reg, pulse.restoreLevel);
            it = entry.pulses.erase(it);
        } else {
            ++it;
        }
    }
    return dropped;
}

void TCHiIobWarrior::WriteRegister(std::int32_t selector, std::uint8_t reg, std::uint8_t value) {
    if (selector == kIOBoxSelector) {
        WriteIOBoxRegister(reg, value);
    } else {
        SelectPort(selector);
        SpiTransfer(reg, value);
        DeselectAll();
    }
}

void TCHiIobWarrior::NoteOutputChange(bool pulseEnd, const Pulse& command, std::int32_t selector,
                                      std::uint8_t reg, std::uint8_t level) {
    OutputChange change;
    change.pulseEnd = pulseEnd;
    change.deviceId = command.deviceId;
    change.commandId = command.commandId;
    change.level = level;
    change.selector = selector;
    change.reg = reg;
    try {
        m_vecOutputChanges.push_back(change);
    } catch (...) {
        // The change is carried out all the same; only its record is missing.
    }
}

void TCHiIobWarrior::TimeOutputChanges() {
    const std::uint64_t endUs = m_clock.NowUs();
    for (OutputChange& change : m_vecOutputChanges) {
        if (change.timed) {
            continue;
        }
        change.timed = true;
        change.fromUs = endUs;
        change.byUs = endUs;
        // The change was made before the pass's writes began: the register's first write of the
        // pass carried it out.
        for (const RegisterWrite& write : m_vecRegisterWrites) {
            if (write.selector == change.selector && write.reg == change.reg) {
                change.fromUs = write.fromUs;
                change.byUs = write.byUs;
                break;
            }
        }
    }
    m_vecRegisterWrites.clear();
}

void TCHiIobWarrior::TakeOutputChanges(std::vector<OutputChange>& changes) {
    changes.clear();
    changes.swap(m_vecOutputChanges);
}

void TCHiIobWarrior::WriteOutputs(bool onlyChanged, bool forceEndPulses) {
    std::size_t dropped = 0;
    m_vecRegisterWrites.clear();
    const bool inputsBetween = m_bInputsBetweenWrites && onlyChanged && !forceEndPulses &&
                               !zentrix::OnePassInputReadsFromEnvironment();
    bool wroteBefore = false;
    // An SDI port's lines take their written levels with the next strobe.
    const auto strobe = [this] {
        const bool selected = m_bPortSelected;
        StrobeIfSelected();
        if (!selected) {
            return;
        }
        for (RegisterWrite& write : m_vecRegisterWrites) {
            if (!write.strobed) {
                write.strobed = true;
                write.fromUs = m_nStrobeFromUs;
                write.byUs = m_nStrobeByUs;
            }
        }
    };
    for (auto& [selector, registers] : m_mapOutputs) {
        bool wrote = false;
        for (auto& [reg, entry] : registers) {
            dropped += EndDuePulses(selector, reg, entry, forceEndPulses);
            if (onlyChanged && entry.current == entry.lastWritten) {
                continue;
            }
            if (!wrote && wroteBefore && inputsBetween) {
                // Between two devices' writes: the strobe carries the last one's new levels to
                // its lines, and the inputs that changed meanwhile are read before this one's.
                strobe();
                if (!ServeInputs(true)) {
                    m_bInputsFailed = true;
                }
            }
            const std::uint64_t writeFromUs = m_clock.NowUs();
            WriteRegister(selector, reg, entry.current);
            try {
                RegisterWrite write;
                write.selector = selector;
                write.reg = reg;
                // The IO box's own expander takes the level within its write's reports; a port's
                // lines take it with the strobe.
                write.strobed = selector == kIOBoxSelector;
                write.fromUs = writeFromUs;
                write.byUs = m_nReportEndUs;
                m_vecRegisterWrites.push_back(write);
            } catch (...) {
                // Without its write the change gets the pass's end as its time.
            }
            wrote = true;
            if (!entry.pulses.empty()) {
                const std::uint32_t now = m_clock.NowMs();
                for (auto& [bit, pulse] : entry.pulses) {
                    if (!pulse.started) {
                        pulse.startMs = now;
                        pulse.started = true;
                    }
                }
            }
            entry.lastWritten = entry.current;
        }
        wroteBefore = wroteBefore || wrote;
    }
    strobe();
    TimeOutputChanges();
    if (dropped != 0) {
        zentrix::LogLazily(zentrix::LogLevel::Warning, "iobox", [dropped] {
            return std::to_string(dropped) +
                   " pulse command(s) still waiting behind a running pulse were dropped as the "
                   "outputs went to their final state";
        });
    }
}

bool TCHiIobWarrior::ServeInputs(bool onlyChanged) {
    m_pInterrupt->Invalidate();
    const auto boxInputs = m_mapInputs.find(kIOBoxSelector);
    if (boxInputs == m_mapInputs.end()) {
        return true;
    }
    std::array<std::uint8_t, kIOBoxReadCommandCount> readCommands{};
    std::array<std::uint8_t*, kIOBoxReadCommandCount> values{};
    std::size_t count = 0;
    // The registers whose own lines are latched come first, then those a re-arm makes read too,
    // so that a change reaches the read that sees it as early as the chain allows.
    for (const bool latched : {true, false}) {
        for (auto& [readCommand, current] : boxInputs->second) {
            if (onlyChanged && !m_pInterrupt->HasChanged(readCommand)) {
                continue;
            }
            if (onlyChanged && m_pInterrupt->IsLatched(readCommand) != latched) {
                continue;
            }
            if (!onlyChanged && !latched) {
                break;
            }
            readCommands[count] = readCommand;
            values[count] = &current;
            ++count;
        }
    }
    return count == 0 || ReadIOBoxRegisters(readCommands.data(), values.data(), count);
}

bool TCHiIobWarrior::ReadInputs(bool onlyChanged) {
    bool ok = ServeInputs(onlyChanged);
    ok = ReadSlowDevices(onlyChanged && !zentrix::OnePassInputReadsFromEnvironment()) && ok;
    StrobeIfSelected();
    return ok;
}

void TCHiIobWarrior::NoteInputRead(std::uint8_t readCommand, std::uint8_t value,
                                   std::uint64_t latchedFromUs, std::uint64_t replyByUs) {
    InputKnowledge& knowledge = m_mapInputKnowledge[readCommand];
    if (m_vecInputReads.size() >= kMaxKeptInputReads) {
        m_vecInputReads.erase(m_vecInputReads.begin());
    }
    m_vecInputReads.push_back({readCommand, value, knowledge.knownFromUs, replyByUs});
    knowledge.knownFromUs = latchedFromUs;
    knowledge.readSinceRearm = true;
}

void TCHiIobWarrior::NoteLatchedLines() {
    if (!m_bPinCheckRead) {
        return;
    }
    for (auto& [readCommand, knowledge] : m_mapInputKnowledge) {
        if (knowledge.readSinceRearm && !m_pInterrupt->IsLatched(readCommand)) {
            knowledge.knownFromUs = std::max(knowledge.knownFromUs, m_nPinCheckFromUs);
        }
    }
}

void TCHiIobWarrior::TakeInputReads(std::vector<InputRead>& reads) {
    reads.clear();
    reads.swap(m_vecInputReads);
}

bool TCHiIobWarrior::LocateInputBit(std::int32_t portId, std::int32_t line,
                                    std::uint8_t& readCommand, std::int32_t& bit) {
    std::int32_t selector = 0;
    std::int32_t pin = 0;
    if (!LocatePin(portId, line, selector, pin) || selector != kIOBoxSelector) {
        return false;
    }
    readCommand = ReadCommandOfPin(pin);
    bit = BitOfPin(pin);
    return true;
}

bool TCHiIobWarrior::GetOutputBit(std::int32_t portId, std::int32_t line) const {
    std::int32_t selector = 0;
    std::int32_t pin = 0;
    if (!LocatePin(portId, line, selector, pin)) {
        return false;
    }
    const auto registers = m_mapOutputs.find(selector);
    if (registers == m_mapOutputs.end()) {
        return false;
    }
    const auto found = registers->second.find(OutputRegisterOfPin(pin));
    if (found == registers->second.end()) {
        return false;
    }
    return ((found->second.current >> BitOfPin(pin)) & 1u) != 0;
}

bool TCHiIobWarrior::GetInputBit(std::int32_t portId, std::int32_t line) const {
    std::int32_t selector = 0;
    std::int32_t pin = 0;
    if (!LocatePin(portId, line, selector, pin)) {
        return false;
    }
    const auto registers = m_mapInputs.find(selector);
    if (registers == m_mapInputs.end()) {
        return false;
    }
    const auto found = registers->second.find(ReadCommandOfPin(pin));
    if (found == registers->second.end()) {
        return false;
    }
    return ((found->second >> BitOfPin(pin)) & 1u) != 0;
}

void TCHiIobWarrior::ResetOutputs() {
    for (auto& [selector, registers] : m_mapOutputs) {
        for (auto& [reg, entry] : registers) {
            entry.lastWritten = 0;
            entry.current = 0;
            entry.pulses.clear();
            entry.waitingPulses.clear();
        }
    }
}

void TCHiIobWarrior::ResetInputs() {
    for (auto& [selector, registers] : m_mapInputs) {
        for (auto& [readCommand, current] : registers) {
            current = 0xFF;
        }
    }
    for (auto& [port, bytes] : m_mapSlowDevices) {
        std::fill(bytes.begin(), bytes.end(), std::uint8_t{0});
    }
    m_vecInputReads.clear();
    m_vecOutputChanges.clear();
    m_mapInputKnowledge.clear();
    m_bInputsFailed = false;
    m_pInterrupt->Rearm();
}
