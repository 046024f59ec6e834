#include "iobox/IOBox.h"

#include <algorithm>
#include <string>
#include <utility>

#include "model/Catalog.h"
#include "model/DeviceType.h"
#include "platform/Log.h"
#include "setup/HardwareSetup.h"

namespace {

const char* const kIOBoxName = "Tamsel IO box";

// A TTL port has two lines and an SDI port the 28 pins of its expander; the access object is never
// asked for any other line.
constexpr std::int32_t kTtlLinesPerPort = 2;
constexpr std::int32_t kSdiLinesPerPort = 28;
// An input line that nothing drives reads high: the inputs are pulled up.
constexpr std::uint8_t kIdleInputLevel = 1;

bool LineFitsPort(const TCHiIobPort* port, std::int32_t line) {
    return port != nullptr && line >= 1 &&
           line <= (port->IsSdiPort() ? kSdiLinesPerPort : kTtlLinesPerPort);
}

bool IsZero(const TCHiIobValue& value) {
    switch (value.GetType()) {
        case eKavexIdtHiVtLongLong:
            return value.GetLongLong() == 0;
        case eKavexIdtHiVtDouble:
            return value.GetDouble() == 0.0;
        case eKavexIdtHiVtBool:
            return !value.GetBoolean();
        default:
            return true;
    }
}

void SortUnique(TCHiIobPortLines& pairs) {
    std::sort(pairs.begin(), pairs.end());
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
}

}  // namespace

TCHiIobIOBox::TCHiIobIOBox(TCHiIobHardwareSetup* setup, std::int32_t id)
    : m_pSetup(setup),
      m_iId(id),
      m_strName(kIOBoxName),
      m_pPorts(std::make_unique<TCHiIobPorts>()),
      m_pDevices(std::make_unique<TCHiIobDevices>()),
      m_pSignalProcessor(std::make_unique<TCHiIobSignalProcessor>(setup)) {
    for (auto& lines : m_aInputLevels) {
        lines.fill(kIdleInputLevel);
    }
}

TCHiIobIOBox::~TCHiIobIOBox() = default;

void TCHiIobIOBox::AttachWarrior(zentrix::IowHandle handle) {
    m_pWarrior = std::make_unique<TCHiIobWarrior>(handle, m_pSetup->GetIoWarriorLibrary(),
                                                  m_pSetup->GetClock());
    m_pWarrior->WatchReplyWait(&m_pSetup->GetReplyWait());
    char16_t serial[zentrix::kIowSerialLength + 1] = {};
    if (m_pSetup->GetIoWarriorLibrary().GetSerialNumber(handle, serial)) {
        m_strSerialNumber.assign(serial, std::char_traits<char16_t>::length(serial));
    }
    m_bConnected.store(true, std::memory_order_release);
}

void TCHiIobIOBox::ReleaseWarrior() {
    m_bConnected.store(false, std::memory_order_release);
    m_pWarrior.reset();
}

void TCHiIobIOBox::ConfigureHardware() {
    RebuildPlanIfNeeded();
    if (!m_pWarrior) {
        return;
    }
    TCHiIobPortLines ttlOutputs;
    TCHiIobPortLines sdiOutputs;
    TCHiIobPortLines ttlInputs;
    TCHiIobPortLines sdiInputs;
    TCHiIobSlowDevices slowDevices;
    std::vector<std::int32_t> expanderPorts;
    std::vector<std::int32_t> slowDevicePorts;
    std::vector<TCHiIobDevice*> devices;
    m_pDevices->GetAll(devices);
    std::vector<const TCHiIobCommand*> commands;
    std::vector<const TCHiIobSignal*> signals;
    for (TCHiIobDevice* device : devices) {
        const TCHiIobDeviceType* type = device->GetDeviceType();
        const TCHiIobPort* port = m_pPorts->FindPort(GetPortOfDevice(device->GetDeviceId()));
        if (type == nullptr || port == nullptr) {
            continue;
        }
        const std::int32_t local = port->GetLocalNumber();
        const bool sdi = type->GetPortKind() == ePortKindSdi;
        type->GetCommands(commands);
        for (const TCHiIobCommand* command : commands) {
            const std::int32_t line = device->GetCommandLine(*command);
            if (LineFitsPort(port, line)) {
                (sdi ? sdiOutputs : ttlOutputs).emplace_back(local, line);
            }
        }
        type->GetSignalsOfSource(signals, eSignalSourceInput);
        for (const TCHiIobSignal* signal : signals) {
            const std::int32_t line = device->GetSignalLine(*signal);
            if (signal->GetKind() == eSignalKindLine) {
                if (LineFitsPort(port, line)) {
                    (sdi ? sdiInputs : ttlInputs).emplace_back(local, line);
                }
            } else if (signal->GetKind() == eSignalKindData) {
                slowDevices.emplace_back(local, signal->GetDataLength());
            }
        }
        if (type->GetConnectorTypeId() == eConnectorTypeTopUnitInterface) {
            expanderPorts.push_back(local);
        }
        if (type->GetId() == eDeviceTypeLickometer) {
            slowDevicePorts.push_back(local);
        }
    }
    SortUnique(ttlOutputs);
    SortUnique(sdiOutputs);
    SortUnique(ttlInputs);
    SortUnique(sdiInputs);
    SortUnique(slowDevices);
    std::sort(expanderPorts.begin(), expanderPorts.end());
    expanderPorts.erase(std::unique(expanderPorts.begin(), expanderPorts.end()),
                        expanderPorts.end());
    const TCHiIobDeviceType* lickometer = m_pSetup->GetDeviceType(eDeviceTypeLickometer);
    const double frequency = lickometer != nullptr ? lickometer->GetMaxFrequency() : 0.0;
    m_pWarrior->Configure(ttlOutputs, sdiOutputs, ttlInputs, sdiInputs, slowDevices, expanderPorts,
                          slowDevicePorts, frequency);
    ChooseTiming();
}

void TCHiIobIOBox::ChooseTiming() {
    const zentrix::TimingChoice choice = m_pSetup->GetTimingChoice();
    m_pWarrior->SetTiming(zentrix::Timing::Spec);
    if (choice == zentrix::TimingChoice::Spec) {
        m_strTimingReason = "spec waits, as ZENTRIX_TIMING=spec asks";
    } else if (choice == zentrix::TimingChoice::Lean) {
        m_pWarrior->SetTiming(zentrix::Timing::Lean);
        m_strTimingReason = "lean waits, as ZENTRIX_TIMING=lean asks, unverified";
    } else {
        std::string checked;
        const bool lean = m_pWarrior->VerifyLeanTiming(checked);
        m_strTimingReason = (lean ? "lean waits: " : "spec waits: ") + checked;
    }
    zentrix::LogLazily(
        m_pWarrior->GetTiming() == zentrix::Timing::Lean || choice != zentrix::TimingChoice::Auto
            ? zentrix::LogLevel::Info
            : zentrix::LogLevel::Warning,
        "timing", [this] {
            return "IO box " + std::to_string(m_iId) + " samples with " + m_strTimingReason;
        });
}

void TCHiIobIOBox::UnconfigureHardware() {
    if (m_pWarrior) {
        m_pWarrior->Unconfigure();
    }
}

bool TCHiIobIOBox::AddDevice(std::int32_t portId, std::unique_ptr<TCHiIobDevice> device,
                             zentrix::DeviceRefusal* refusal) {
    using zentrix::DeviceRefusal;
    const auto refuse = [refusal](DeviceRefusal why) {
        if (refusal != nullptr) {
            *refusal = why;
        }
        return false;
    };
    if (!device) {
        return refuse(DeviceRefusal::NoDevice);
    }
    if (device->GetDeviceId() < 0) {
        device->SetDeviceId(m_pSetup->GetNextDeviceId());
    }
    // Without an id (the ids ran out) the device could not be told apart; with a connector
    // position that its type does not have, its lines would be another device's.
    if (device->GetDeviceId() < 0) {
        return refuse(DeviceRefusal::NoDeviceIdLeft);
    }
    const TCHiIobDeviceType* type = device->GetDeviceType();
    if (type == nullptr) {
        return refuse(DeviceRefusal::UnknownDeviceType);
    }
    if (!device->IsValid()) {
        return refuse(DeviceRefusal::ImpossibleConnectorPosition);
    }
    const TCHiIobPort* port = m_pPorts->FindPort(portId);
    if (port == nullptr) {
        return refuse(DeviceRefusal::UnknownPort);
    }
    if (m_pDevices->Find(device->GetDeviceId()) != nullptr) {
        return refuse(DeviceRefusal::DeviceIdInUse);
    }
    if ((type->GetPortKind() == ePortKindSdi) != port->IsSdiPort()) {
        return refuse(DeviceRefusal::WrongPortKind);
    }
    const std::int32_t id = device->GetDeviceId();
    if (!m_pDevices->Add(std::move(device))) {
        return refuse(DeviceRefusal::DeviceIdInUse);
    }
    m_mapLinks[id] = portId;
    m_bPlanValid = false;
    if (refusal != nullptr) {
        *refusal = DeviceRefusal::None;
    }
    return true;
}

void TCHiIobIOBox::RemoveDevice(std::int32_t deviceId) {
    m_pDevices->Remove(deviceId);
    m_mapLinks.erase(deviceId);
    m_bPlanValid = false;
}

const TCHiIobDevice* TCHiIobIOBox::GetDeviceById(std::int32_t deviceId) const {
    return std::as_const(*m_pDevices).Find(deviceId);
}

TCHiIobDevice* TCHiIobIOBox::GetDeviceById(std::int32_t deviceId) {
    return m_pDevices->Find(deviceId);
}

void TCHiIobIOBox::GetDevices(std::vector<const TCHiIobDevice*>& devices) const {
    std::as_const(*m_pDevices).GetAll(devices);
}

void TCHiIobIOBox::GetDevices(std::vector<TCHiIobDevice*>& devices) {
    m_pDevices->GetAll(devices);
}

std::int32_t TCHiIobIOBox::GetPortOfDevice(std::int32_t deviceId) const {
    const auto it = m_mapLinks.find(deviceId);
    return it == m_mapLinks.end() ? -1 : it->second;
}

void TCHiIobIOBox::GetDevicesOnPort(std::int32_t portId,
                                    std::vector<const TCHiIobDevice*>& devices) const {
    devices.clear();
    for (const auto& [deviceId, linkedPort] : m_mapLinks) {
        if (linkedPort == portId) {
            if (const TCHiIobDevice* device = std::as_const(*m_pDevices).Find(deviceId)) {
                devices.push_back(device);
            }
        }
    }
}

bool TCHiIobIOBox::QueueCommand(std::int32_t deviceId, std::int32_t commandId) {
    return m_pSetup->GetController().QueueCommand(this, deviceId, commandId);
}

void TCHiIobIOBox::QueueDefaultCommands() {
    std::vector<TCHiIobDevice*> devices;
    m_pDevices->GetAll(devices);
    std::vector<const TCHiIobCommand*> commands;
    for (TCHiIobDevice* device : devices) {
        const TCHiIobDeviceType* type = device->GetDeviceType();
        if (type == nullptr) {
            continue;
        }
        type->GetCommands(commands);
        for (const TCHiIobCommand* command : commands) {
            if (command->IsDefault()) {
                m_pSetup->GetController().QueueDefaultCommand(this, device->GetDeviceId(),
                                                              command->GetId());
            }
        }
    }
}

bool TCHiIobIOBox::ExecuteCommand(std::int32_t deviceId, std::int32_t commandId) {
    const TCHiIobDevice* device = m_pDevices->Find(deviceId);
    const std::int32_t portId = GetPortOfDevice(deviceId);
    if (device == nullptr || portId == -1 || !m_pWarrior) {
        return true;
    }
    const TCHiIobDeviceType* type = device->GetDeviceType();
    const TCHiIobCommand* command = type != nullptr ? type->FindCommand(commandId) : nullptr;
    if (command == nullptr) {
        return true;
    }
    const std::int32_t line = device->GetCommandLine(*command);
    if (!LineFitsPort(m_pPorts->FindPort(portId), line)) {
        return true;
    }
    return m_pWarrior->SetOutput(portId, line, command->GetLevel(), command->GetPulseDuration(),
                                 deviceId, commandId);
}

void TCHiIobIOBox::ReceiveSignal(std::int32_t deviceId, std::int32_t signalId,
                                 tagTECKavexIdtHiValue& record) {
    TCHiIobValue value;
    m_pSetup->GetController().GetValue(this, deviceId, signalId, value);
    m_pSignalProcessor->Process(*this, deviceId, signalId, value, record);
}

void TCHiIobIOBox::ResetForSampling() {
    m_pSignalProcessor->Clear();
    std::vector<TCHiIobDevice*> devices;
    m_pDevices->GetAll(devices);
    for (TCHiIobDevice* device : devices) {
        device->ResetSignalStates();
    }
    for (TCHiIobDevice* device : devices) {
        device->ClearSignalValueHandlers();
    }
    if (m_pWarrior) {
        m_pWarrior->SetInputsBetweenWrites(false);
        m_pWarrior->ResetInputs();
        // Totals count from the start of sampling, not from the last read before it.
        if (!m_pWarrior->DiscardSlowDeviceCounts()) {
            DetachAfterFailedRead();
        }
    }
}

void TCHiIobIOBox::DetachAfterFailedRead() {
    NoteBoxLost();
    zentrix::LogLazily(zentrix::LogLevel::Warning, "iobox", [this] {
        return "IO box " + std::to_string(GetId()) +
               ": reading its inputs failed (unplugged?); the box is detached";
    });
    UnconfigureHardware();
    ReleaseWarrior();
}

void TCHiIobIOBox::PrepareOutputs() {
    if (m_pWarrior) {
        m_pWarrior->ResetOutputs();
    }
}

void TCHiIobIOBox::RebuildPlanIfNeeded() {
    if (m_bPlanValid) {
        return;
    }
    m_vecInputSignals.clear();
    m_vecOutputSignals.clear();
    std::vector<std::pair<std::int32_t, std::int32_t>> keys;
    std::vector<TCHiIobDevice*> devices;
    m_pDevices->GetAll(devices);
    std::vector<const TCHiIobSignal*> signals;
    for (TCHiIobDevice* device : devices) {
        const TCHiIobDeviceType* type = device->GetDeviceType();
        if (type == nullptr) {
            continue;
        }
        type->GetSignals(signals);
        for (const TCHiIobSignal* signal : signals) {
            keys.emplace_back(device->GetDeviceId(), signal->GetId());
        }
    }
    auto layout = std::make_shared<const TCHiIobValueLayout>(keys);
    for (TCHiIobDevice* device : devices) {
        const TCHiIobDeviceType* type = device->GetDeviceType();
        if (type == nullptr) {
            continue;
        }
        const std::int32_t portId = GetPortOfDevice(device->GetDeviceId());
        const TCHiIobPort* port = m_pPorts->FindPort(portId);
        type->GetSignals(signals);
        for (const TCHiIobSignal* signal : signals) {
            const auto slot =
                static_cast<std::size_t>(layout->IndexOf(device->GetDeviceId(), signal->GetId()));
            const std::int32_t line = device->GetSignalLine(*signal);
            PlannedSignal planned{device, signal, portId,
                                  LineFitsPort(port, line) ? line : TCHiIobDevice::kNoLine, slot};
            if (planned.line != TCHiIobDevice::kNoLine && signal->GetKind() == eSignalKindLine &&
                !TCHiIobWarrior::LocateInputBit(portId, planned.line, planned.readCommand,
                                                planned.bit)) {
                planned.readCommand = 0;
            }
            if (signal->GetSource() == eSignalSourceInput) {
                m_vecInputSignals.push_back(planned);
            } else if (signal->GetSource() == eSignalSourceOutput) {
                m_vecOutputSignals.push_back(planned);
            }
        }
    }
    m_pLayout = std::move(layout);
    m_bPlanValid = true;
}

void TCHiIobIOBox::SetInputsFirst(bool inputsFirst) {
    if (m_pWarrior) {
        m_pWarrior->SetInputsBetweenWrites(inputsFirst);
    }
}

void TCHiIobIOBox::DeriveFromInputReads() {
    // Every read counts, also the last one that the cache holds, so that each edge is noted with
    // the read that saw it; the pass that derives from the cache then finds nothing new.
    m_pWarrior->TakeInputReads(m_vecInputReads);
    TCHiIobValue value;
    for (const TCHiIobWarrior::InputRead& read : m_vecInputReads) {
        for (const PlannedSignal& planned : m_vecInputSignals) {
            if (planned.readCommand == read.readCommand &&
                planned.signal->GetKind() == eSignalKindLine) {
                const auto level = static_cast<std::uint8_t>((read.value >> planned.bit) & 1U);
                if (planned.device->DeriveLineSignal(*planned.signal, level, value, true)) {
                    NoteLineEdge(planned, value, level, read.knownSinceUs, read.sampledByUs);
                }
            }
        }
    }
}

bool TCHiIobIOBox::KeepsEvents() const {
    return m_pSetup->AreEventsKept();
}

void TCHiIobIOBox::NoteLineEdge(const PlannedSignal& planned, const TCHiIobValue& value,
                                std::uint8_t level, std::uint64_t earliestUs,
                                std::uint64_t timeUs) {
    if (!KeepsEvents()) {
        return;
    }
    tagZentrixEvent event = MakeZentrixEvent(level != 0 ? eZentrixEvRise : eZentrixEvFall, m_iId,
                                             static_cast<std::int64_t>(timeUs));
    event.m_nEarliestUs = static_cast<std::int64_t>(std::min(earliestUs, timeUs));
    event.m_iDeviceId = planned.device->GetDeviceId();
    event.m_iSignalId = planned.signal->GetId();
    event.m_iLevel = level;
    event.m_value = planned.signal->ToHostValue(value);
    try {
        m_vecPassEvents.push_back(event);
    } catch (...) {
        m_events.CountLost(event);
    }
}

void TCHiIobIOBox::NoteDataChange(const PlannedSignal& planned, const TCHiIobValue& before,
                                  const TCHiIobValue& after) {
    std::uint64_t earliestUs = 0;
    std::uint64_t timeUs = m_pSetup->GetClock().NowUs();
    if (m_pWarrior) {
        m_pWarrior->GetSlowDeviceReadTimes(planned.portId, earliestUs, timeUs);
    }
    tagZentrixEvent event =
        MakeZentrixEvent(eZentrixEvDataChange, m_iId, static_cast<std::int64_t>(timeUs));
    event.m_nEarliestUs = static_cast<std::int64_t>(std::min(earliestUs, timeUs));
    event.m_iDeviceId = planned.device->GetDeviceId();
    event.m_iSignalId = planned.signal->GetId();
    const TCHiIobValue change = before.GetType() != eKavexIdtHiVtUndefined ? after - before : after;
    if (IsZero(change)) {
        // The first report of a session that counted nothing yet.
        return;
    }
    event.m_value = planned.signal->ToHostValue(after);
    event.m_change = planned.signal->ToHostValue(change);
    try {
        m_vecPassEvents.push_back(event);
    } catch (...) {
        m_events.CountLost(event);
    }
}

void TCHiIobIOBox::NoteOutputChanges() {
    if (!m_pWarrior) {
        return;
    }
    m_pWarrior->TakeOutputChanges(m_vecOutputChanges);
    if (!KeepsEvents()) {
        return;
    }
    for (const TCHiIobWarrior::OutputChange& change : m_vecOutputChanges) {
        tagZentrixEvent event =
            MakeZentrixEvent(change.pulseEnd ? eZentrixEvPulseEnd : eZentrixEvCommand, m_iId,
                             static_cast<std::int64_t>(change.byUs));
        event.m_nEarliestUs = static_cast<std::int64_t>(std::min(change.fromUs, change.byUs));
        event.m_iDeviceId = change.deviceId;
        event.m_iCommandId = change.commandId;
        event.m_iLevel = change.level;
        try {
            m_vecPassEvents.push_back(event);
        } catch (...) {
            m_events.CountLost(event);
        }
    }
}

void TCHiIobIOBox::NoteBoxLost() {
    if (!KeepsEvents()) {
        return;
    }
    const auto nowUs = static_cast<std::int64_t>(m_pSetup->GetClock().NowUs());
    try {
        m_vecPassEvents.push_back(MakeZentrixEvent(eZentrixEvBoxLost, m_iId, nowUs));
    } catch (...) {
        m_events.CountLost(MakeZentrixEvent(eZentrixEvBoxLost, m_iId, nowUs));
    }
}

void TCHiIobIOBox::NoteStartState(std::int64_t timeUs) {
    tagZentrixEvent event = MakeZentrixEvent(eZentrixEvBoxState, m_iId, timeUs);
    event.m_iLevel = IsConnected() ? 1 : 0;
    std::vector<tagZentrixEvent> events;
    try {
        events.push_back(event);
    } catch (...) {
        m_events.CountLost(event);
    }
    m_events.Append(events);
}

void TCHiIobIOBox::FlushPassEvents() {
    if (m_vecPassEvents.empty()) {
        return;
    }
    // Reads and writes of one pass interleave; what the host gets is in the order things happened.
    std::stable_sort(m_vecPassEvents.begin(), m_vecPassEvents.end(),
                     [](const tagZentrixEvent& a, const tagZentrixEvent& b) {
                         return a.m_nTimeUs < b.m_nTimeUs;
                     });
    m_events.Append(m_vecPassEvents);
}

std::uint8_t TCHiIobIOBox::LineLevel(const PlannedSignal& planned, bool readFromHardware,
                                     bool output, LineLevels& remembered) const {
    const bool known = planned.line != TCHiIobDevice::kNoLine && planned.portId >= 1 &&
                       static_cast<std::size_t>(planned.portId) < remembered.size() &&
                       static_cast<std::size_t>(planned.line) < remembered[0].size();
    if (!readFromHardware) {
        return known ? remembered[static_cast<std::size_t>(planned.portId)]
                                 [static_cast<std::size_t>(planned.line)]
                     : (output ? 0 : kIdleInputLevel);
    }
    const bool high = planned.line != TCHiIobDevice::kNoLine &&
                      (output ? m_pWarrior->GetOutputBit(planned.portId, planned.line)
                              : m_pWarrior->GetInputBit(planned.portId, planned.line));
    const auto level = static_cast<std::uint8_t>(high ? 1 : 0);
    if (known) {
        remembered[static_cast<std::size_t>(planned.portId)]
                  [static_cast<std::size_t>(planned.line)] = level;
    }
    return level;
}

std::vector<TCHiIobValue> TCHiIobIOBox::StartValues() const {
    const std::shared_ptr<const TCHiIobBoxValues> previous =
        m_pSetup->GetController().CopyValues(this);
    if (previous && previous->layout == m_pLayout) {
        return previous->values;
    }
    return std::vector<TCHiIobValue>(m_pLayout->GetSize());
}

void TCHiIobIOBox::Publish(std::vector<TCHiIobValue> values) {
    auto snapshot = std::make_shared<TCHiIobBoxValues>();
    snapshot->layout = m_pLayout;
    snapshot->values = std::move(values);
    m_pSetup->GetController().PublishValues(this, std::move(snapshot));
}

void TCHiIobIOBox::InputPass(bool onlyChanged) {
    RebuildPlanIfNeeded();
    const bool keepEvents = KeepsEvents();
    const std::uint64_t previousPassUs =
        std::exchange(m_nLastInputPassUs, m_pSetup->GetClock().NowUs());
    if (m_pWarrior) {
        const bool read = m_pWarrior->ReadInputs(onlyChanged);
        DeriveFromInputReads();
        if (!read) {
            DetachAfterFailedRead();
        }
    }
    DetachIfAbandoned();
    std::vector<TCHiIobValue> values = StartValues();
    for (const PlannedSignal& planned : m_vecInputSignals) {
        TCHiIobValue value;
        if (planned.signal->GetKind() == eSignalKindLine) {
            const bool read = m_pWarrior != nullptr;
            const std::uint8_t level = LineLevel(planned, read, false, m_aInputLevels);
            if (planned.device->DeriveLineSignal(*planned.signal, level, value, read) &&
                keepEvents) {
                // A line of a port expander's own: its level came with this pass's reads.
                NoteLineEdge(planned, value, level, previousPassUs, m_pSetup->GetClock().NowUs());
            }
        } else if (planned.signal->GetKind() == eSignalKindData) {
            m_vecBytes.clear();
            for (std::int32_t i = planned.signal->GetFirstByte();
                 i <= planned.signal->GetLastByte() && i >= 0; ++i) {
                m_vecBytes.push_back(m_pWarrior ? m_pWarrior->GetSlowDeviceByte(planned.portId, i)
                                                : 0);
            }
            if (keepEvents) {
                const TCHiIobValue before = planned.device->GetDataTotal(*planned.signal);
                planned.device->DeriveDataSignal(*planned.signal, m_vecBytes, value);
                const TCHiIobValue after = planned.device->GetDataTotal(*planned.signal);
                if (!(after == before)) {
                    NoteDataChange(planned, before, after);
                }
            } else {
                planned.device->DeriveDataSignal(*planned.signal, m_vecBytes, value);
            }
        }
        values[planned.slot] = value;
    }
    Publish(std::move(values));
    FlushPassEvents();
}

void TCHiIobIOBox::OutputPass(std::vector<std::pair<std::int32_t, std::int32_t>>& commands,
                              bool onlyChanged) {
    RebuildPlanIfNeeded();
    std::stable_sort(commands.begin(), commands.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    // Commands kept for a later pass move to the front, so that [kept, done) is what was done.
    std::size_t kept = 0;
    std::size_t done = 0;
    try {
        for (; done < commands.size(); ++done) {
            const auto command = commands[done];
            const bool deviceRefused = kept != 0 && commands[kept - 1].first == command.first;
            if (deviceRefused || !ExecuteCommand(command.first, command.second)) {
                commands[kept++] = command;
            }
        }
    } catch (...) {
        commands.erase(commands.begin() + static_cast<std::ptrdiff_t>(kept),
                       commands.begin() + static_cast<std::ptrdiff_t>(done));
        throw;
    }
    commands.resize(kept);
    if (m_pWarrior) {
        m_pWarrior->WriteOutputs(onlyChanged, false);
        NoteOutputChanges();
        // The inputs read between writes count now, also when a later read failed, so that
        // their edges are noted in the order they were seen.
        DeriveFromInputReads();
        if (m_pWarrior->TakeInputsFailed()) {
            DetachAfterFailedRead();
        }
    }
    std::vector<TCHiIobValue> values = StartValues();
    for (const PlannedSignal& planned : m_vecOutputSignals) {
        TCHiIobValue value;
        if (planned.signal->GetKind() == eSignalKindLine) {
            const bool read = m_pWarrior != nullptr;
            planned.device->DeriveLineSignal(
                *planned.signal, LineLevel(planned, read, true, m_aOutputLevels), value, read);
        }
        values[planned.slot] = value;
    }
    Publish(std::move(values));
    DetachIfAbandoned();
    FlushPassEvents();
}

void TCHiIobIOBox::FinishOutputs() {
    if (m_pWarrior) {
        m_pWarrior->WriteOutputs(true, true);
        NoteOutputChanges();
    }
    DetachIfAbandoned();
    FlushPassEvents();
}

void TCHiIobIOBox::DetachIfAbandoned() {
    if (!m_pWarrior || !m_pWarrior->WasAbandoned()) {
        return;
    }
    zentrix::LogLazily(zentrix::LogLevel::Warning, "iobox", [this] {
        return "IO box " + std::to_string(GetId()) +
               ": it stopped answering while sampling was being stopped; the box is detached";
    });
    NoteBoxLost();
    UnconfigureHardware();
    ReleaseWarrior();
}
