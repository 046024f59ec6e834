#include "setup/HardwareSetup.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "iobox/IOBox.h"
#include "iobox/Warrior.h"
#include "iobox/WarriorSession.h"
#include "mapping/Links.h"
#include "mapping/MappingDialog.h"
#include "mapping/MappingView.h"
#include "mapping/ToolkitDialogRunner.h"
#include "model/Catalog.h"
#include "model/Device.h"
#include "platform/IoWarriorBackend.h"
#include "platform/Log.h"
#include "platform/StringUtil.h"
#include "setup/ConfigFile.h"
#include "setup/Controller.h"

namespace {

// Ids from here on are not handed out, so that id arithmetic never overflows.
constexpr std::int32_t kFirstUnavailableDeviceId = 0x7FFFFFFE;

const char* const kConfigFileName = "HardwareSetup.xml";
const char* const kNoIOBoxMessage =
    "No iobox connected, connect one or more ioboxes and run the program again";

// Enough for about ten minutes of eight sampling threads.
constexpr std::size_t kTracedPeriodCapacity = std::size_t{1} << 20U;

}  // namespace

TCHiIobHardwareSetup::TCHiIobHardwareSetup()
    : TCHiIobHardwareSetup(zentrix::ShareProcessIoWarriorLibrary(),
                           zentrix::ProcessHardwareClock()) {
    if (const char* trace = std::getenv("ZENTRIX_PERIOD_TRACE");
        trace != nullptr && *trace != '\0') {
        m_strPeriodTrace = trace;
        m_pController->GetPeriodRecorder().Enable(kTracedPeriodCapacity);
    }
}

TCHiIobHardwareSetup::TCHiIobHardwareSetup(zentrix::IoWarriorLibrary& library,
                                           zentrix::Clock& clock)
    : TCHiIobHardwareSetup(nullptr, library, clock) {}

TCHiIobHardwareSetup::TCHiIobHardwareSetup(
    const std::shared_ptr<zentrix::IoWarriorLibrary>& ownedLibrary, zentrix::Clock& clock)
    : TCHiIobHardwareSetup(ownedLibrary, *ownedLibrary, clock) {}

TCHiIobHardwareSetup::TCHiIobHardwareSetup(std::shared_ptr<zentrix::IoWarriorLibrary> ownedLibrary,
                                           zentrix::IoWarriorLibrary& library,
                                           zentrix::Clock& clock)
    : m_pOwnedLibrary(std::move(ownedLibrary)),
      m_library(library),
      m_clock(clock),
      m_pController(std::make_unique<TCHiIobController>(this)),
      m_pConnectorTypes(std::make_unique<TCHiIobConnectorTypes>()),
      m_pDeviceTypes(std::make_unique<TCHiIobDeviceTypes>()) {
    BuildCatalog(*m_pConnectorTypes, *m_pDeviceTypes);
    DiscoverIOBoxes();
}

TCHiIobHardwareSetup::~TCHiIobHardwareSetup() {
    // A running sampler finishes while the controller, boxes and types still exist; only then
    // does the controller go. Each step is guarded on its own so that a failing one neither
    // skips the rest nor reaches the caller.
    m_pController->ShutdownSampler();
    try {
        m_pController.reset();
    } catch (...) {
    }
    for (const auto& box : m_vecIOBoxes) {
        try {
            box->UnconfigureHardware();
        } catch (...) {
        }
    }
    for (const auto& box : m_vecIOBoxes) {
        box->ReleaseWarrior();
    }
    m_pSession.reset();
    m_mapRouting.clear();
    m_vecIOBoxes.clear();
    m_pConnectorTypes.reset();
    m_pDeviceTypes.reset();
}

void TCHiIobHardwareSetup::DiscoverIOBoxes() {
    FindIOBoxes();
    std::vector<TCHiIobIOBox*> boxes;
    for (const auto& box : m_vecIOBoxes) {
        boxes.push_back(box.get());
    }
    m_pController->SetIOBoxes(boxes);
    // The placeholder box has no hardware to configure.
    if (!m_pSession->IsOpen()) {
        return;
    }
    for (const auto& box : m_vecIOBoxes) {
        box->ConfigureHardware();
    }
}

void TCHiIobHardwareSetup::FindIOBoxes() {
    m_pSession = std::make_unique<zentrix::IoWarriorSession>(m_library);
    if (!m_pSession->IsOpen()) {
        m_vecIOBoxes.push_back(std::make_unique<TCHiIobIOBox>(this, -1));
        return;
    }
    const std::vector<std::int32_t> ids = m_pSession->GetIOBoxIds();
    if (ids.empty()) {
        return;
    }
    m_vecIOBoxes.clear();
    m_mapRouting.clear();
    for (const std::int32_t id : ids) {
        m_vecIOBoxes.push_back(std::make_unique<TCHiIobIOBox>(this, id));
    }
    for (const auto& box : m_vecIOBoxes) {
        // A controller that another live setup holds stays with it; this box then works like one
        // whose controller is not connected.
        if (const zentrix::IowHandle handle = m_pSession->Claim(box->GetId())) {
            box->AttachWarrior(handle);
        }
    }
}

const TCHiIobIOBox* TCHiIobHardwareSetup::FindIOBox(std::int32_t ioBoxId) const {
    for (const auto& box : m_vecIOBoxes) {
        if (box->GetId() == ioBoxId) {
            return box.get();
        }
    }
    return nullptr;
}

TCHiIobIOBox* TCHiIobHardwareSetup::FindIOBox(std::int32_t ioBoxId) {
    return const_cast<TCHiIobIOBox*>(std::as_const(*this).FindIOBox(ioBoxId));
}

namespace {

void LogUnreadConfigFile(const std::string& path, const TCHiIobConfigData& config,
                         const ConfigFileProblem& problem) noexcept {
    if (problem.missing) {
        zentrix::LogLazily(zentrix::LogLevel::Info, "config",
                           [&] { return path + ": not found; no devices configured"; });
        return;
    }
    zentrix::LogLazily(zentrix::LogLevel::Warning, "config", [&] {
        std::size_t devices = 0;
        for (const TCHiIobConfigDataIOBox& box : config.m_vecConfigDataIOBox) {
            devices += box.m_vecConfigDataPortDevice.size();
        }
        return path + ": damaged or unreadable (" + problem.reason + "); keeping the " +
               std::to_string(devices) + " device(s) read before the damage";
    });
}

void LogDroppedDevice(const std::string& path, std::int32_t ioBoxId,
                      const TCHiIobConfigDataPortDevice& entry,
                      zentrix::DeviceRefusal refusal) noexcept {
    zentrix::LogLazily(zentrix::LogLevel::Warning, "config", [&] {
        std::string place =
            "IO box " + std::to_string(ioBoxId) + ", port " + std::to_string(entry.m_iPortId);
        if (entry.m_iConnectorPortId != -1) {
            place += ", connector position " + std::to_string(entry.m_iConnectorPortId);
        }
        return path + ": device \"" + entry.m_strDeviceName + "\" (id " +
               std::to_string(entry.m_iDeviceId) + ", type " +
               std::to_string(entry.m_iDeviceTypeId) + ") on " + place +
               " dropped: " + std::string(zentrix::DescribeRefusal(refusal));
    });
}

}  // namespace

void TCHiIobHardwareSetup::Load(const std::string& directory) {
    const std::string path = zentrix::JoinPath(directory, kConfigFileName);
    TCHiIobConfigData config;
    ConfigFileProblem problem;
    if (!ReadConfigFile(path, kHardwareSetupRootName, config, &problem)) {
        LogUnreadConfigFile(path, config, problem);
    }
    ChangeDevices([&] {
        RemoveAllDevices();
        for (const TCHiIobConfigDataIOBox& box : config.m_vecConfigDataIOBox) {
            for (const TCHiIobConfigDataPortDevice& entry : box.m_vecConfigDataPortDevice) {
                zentrix::DeviceRefusal refusal = zentrix::DeviceRefusal::None;
                if (!AddDevice(box.m_iIOBoxId, entry.m_iPortId,
                               std::make_unique<TCHiIobDevice>(
                                   this, entry.m_strDeviceName, entry.m_iDeviceTypeId,
                                   entry.m_iConnectorPortId, entry.m_iDeviceId),
                               &refusal)) {
                    LogDroppedDevice(path, box.m_iIOBoxId, entry, refusal);
                }
            }
        }
    });
}

void TCHiIobHardwareSetup::LoadNothing() {
    ChangeDevices([&] { RemoveAllDevices(); });
}

bool TCHiIobHardwareSetup::Save(const std::string& directory) const {
    TCHiIobConfigData config;
    std::vector<const TCHiIobDevice*> devices;
    for (const auto& box : m_vecIOBoxes) {
        TCHiIobConfigDataIOBox boxEntry;
        boxEntry.m_iIOBoxId = box->GetId();
        boxEntry.m_eIOBoxType = eIOBoxTypeIOWarrior;
        for (const TCHiIobPort* port : box->GetPorts().GetPorts()) {
            box->GetDevicesOnPort(port->GetId(), devices);
            for (const TCHiIobDevice* device : devices) {
                TCHiIobConfigDataPortDevice entry;
                entry.m_iPortId = port->GetId();
                entry.m_iConnectorPortId = device->GetConnectorPortId();
                entry.m_iDeviceTypeId = device->GetDeviceTypeId();
                entry.m_iDeviceId = device->GetDeviceId();
                entry.m_strDeviceName = device->GetDeviceName();
                boxEntry.m_vecConfigDataPortDevice.push_back(entry);
            }
        }
        config.m_vecConfigDataIOBox.push_back(boxEntry);
    }
    const std::string path = zentrix::JoinPath(directory, kConfigFileName);
    ConfigFileProblem problem;
    if (WriteConfigFile(path, kHardwareSetupRootName, config, &problem)) {
        return true;
    }
    zentrix::LogLazily(zentrix::LogLevel::Warning, "config", [&] {
        return path + ": not saved (" + problem.reason + "); the previous file, if any, is kept";
    });
    return false;
}

bool TCHiIobHardwareSetup::ShowDialog(bool readOnly) {
    zentrix::ToolkitDialogRunner runner;
    return RunMappingDialog(runner, readOnly);
}

bool TCHiIobHardwareSetup::RunMappingDialog(zentrix::MappingDialogRunner& runner, bool readOnly) {
    if (m_vecIOBoxes.empty()) {
        runner.GetMessageService().ShowMessage(kNoIOBoxMessage);
        return false;
    }
    TCHiIobDlgPortMapping dialog(*this, readOnly, runner.GetMessageService());
    if (runner.Run(dialog) != zentrix::DialogResult::Accepted || readOnly) {
        return false;
    }
    ChangeDevices([&] { ApplyLinks(dialog.GetPortMappings()); });
    return true;
}

bool TCHiIobHardwareSetup::IsIODeviceConnected(std::int32_t ioBoxId) const {
    const TCHiIobIOBox* box = FindIOBox(ioBoxId);
    return box != nullptr && box->IsConnected();
}

void TCHiIobHardwareSetup::GetIODevices(std::vector<const TCHiIobIOBox*>& boxes) const {
    boxes.clear();
    for (const auto& box : m_vecIOBoxes) {
        boxes.push_back(box.get());
    }
}

void TCHiIobHardwareSetup::GetDevices(std::vector<const TCHiIobDevice*>& devices) const {
    devices.clear();
    std::vector<const TCHiIobDevice*> boxDevices;
    for (const auto& box : m_vecIOBoxes) {
        std::as_const(*box).GetDevices(boxDevices);
        devices.insert(devices.end(), boxDevices.begin(), boxDevices.end());
    }
}

void TCHiIobHardwareSetup::GetDeviceTypes(std::vector<const TCHiIobDeviceType*>& types) const {
    m_pDeviceTypes->GetAll(types);
}

void TCHiIobHardwareSetup::GetCommands(std::int32_t deviceTypeId,
                                       std::vector<const TCHiIobCommand*>& commands) const {
    if (const TCHiIobDeviceType* type = m_pDeviceTypes->Find(deviceTypeId)) {
        type->GetCommands(commands);
    }
}

void TCHiIobHardwareSetup::GetSignals(std::int32_t deviceTypeId,
                                      std::vector<const TCHiIobSignal*>& signals) const {
    if (const TCHiIobDeviceType* type = m_pDeviceTypes->Find(deviceTypeId)) {
        type->GetSignals(signals);
    }
}

bool TCHiIobHardwareSetup::SendCommand(std::int32_t deviceId, std::int32_t commandId) {
    const auto it = m_mapRouting.find(deviceId);
    if (it == m_mapRouting.end()) {
        return false;
    }
    return it->second->QueueCommand(deviceId, commandId);
}

void TCHiIobHardwareSetup::ReceiveSignal(std::int32_t deviceId, std::int32_t signalId,
                                         tagTECKavexIdtHiValue& record) {
    const auto it = m_mapRouting.find(deviceId);
    if (it != m_mapRouting.end()) {
        it->second->ReceiveSignal(deviceId, signalId, record);
    }
}

void TCHiIobHardwareSetup::SetSamplingMode(zentrix::SamplingMode mode) {
    m_pController->SetSamplingMode(mode);
}

zentrix::SamplingMode TCHiIobHardwareSetup::GetSamplingMode() const {
    return m_pController->GetSamplingMode();
}

void TCHiIobHardwareSetup::StartSampler() {
    m_pController->StartSampler();
}

bool TCHiIobHardwareSetup::StopSampler() {
    const bool stopped = m_pController->StopSampler();
    if (stopped && !m_strPeriodTrace.empty()) {
        AppendPeriodTrace();
    }
    return stopped;
}

bool TCHiIobHardwareSetup::StopSampler(std::chrono::steady_clock::time_point deadline) {
    const bool stopped = m_pController->StopSampler(deadline);
    if (stopped && !m_strPeriodTrace.empty()) {
        AppendPeriodTrace();
    }
    return stopped;
}

void TCHiIobHardwareSetup::AppendPeriodTrace() {
    const auto periods = m_pController->GetPeriodRecorder().Take();
    std::FILE* file = std::fopen(m_strPeriodTrace.c_str(), "a");
    if (file == nullptr) {
        zentrix::Log(zentrix::LogLevel::Warning, "sampler",
                     "cannot append the period trace to " + m_strPeriodTrace);
        return;
    }
    for (const auto& period : periods) {
        std::fprintf(file, "%u %llu %u %u %u %u\n", period.lane,
                     static_cast<unsigned long long>(period.endUs), period.wallUs, period.floorUs,
                     period.cpuUs, period.reports);
    }
    std::fclose(file);
}

const TCHiIobDeviceType* TCHiIobHardwareSetup::GetDeviceType(std::int32_t id) const {
    return m_pDeviceTypes->Find(id);
}

const TCHiIobDeviceType* TCHiIobHardwareSetup::FindDeviceType(const std::string& name) const {
    return m_pDeviceTypes->FindByName(name);
}

void TCHiIobHardwareSetup::GetDeviceTypesOfConnector(
    std::int32_t connectorTypeId, std::vector<const TCHiIobDeviceType*>& types) const {
    m_pDeviceTypes->GetTypesOfConnector(connectorTypeId, types);
}

void TCHiIobHardwareSetup::GetDirectDeviceTypes(
    std::int32_t portKind, std::vector<const TCHiIobDeviceType*>& types) const {
    m_pDeviceTypes->GetDirectTypes(portKind, types);
}

const TCHiIobConnectorType* TCHiIobHardwareSetup::GetConnectorType(std::int32_t id) const {
    return m_pConnectorTypes->Find(id);
}

const TCHiIobConnectorType* TCHiIobHardwareSetup::FindConnectorType(const std::string& name) const {
    return m_pConnectorTypes->FindByName(name);
}

void TCHiIobHardwareSetup::GetConnectorTypesOfPortKind(
    std::int32_t portKind, std::vector<const TCHiIobConnectorType*>& types) const {
    m_pConnectorTypes->GetByPortKind(portKind, types);
}

std::vector<std::int32_t> TCHiIobHardwareSetup::ListIOBoxIds() const {
    std::vector<std::int32_t> ids;
    for (const auto& box : m_vecIOBoxes) {
        ids.push_back(box->GetId());
    }
    return ids;
}

std::int32_t TCHiIobHardwareSetup::GetNextDeviceId() const {
    std::int64_t largest = -1;
    std::vector<const TCHiIobDevice*> devices;
    for (const auto& box : m_vecIOBoxes) {
        box->GetDevices(devices);
        for (const TCHiIobDevice* device : devices) {
            largest = std::max<std::int64_t>(largest, device->GetDeviceId());
        }
    }
    const std::int64_t next = largest + 1;
    return next >= kFirstUnavailableDeviceId ? -1 : static_cast<std::int32_t>(next);
}

bool TCHiIobHardwareSetup::AddDevice(std::int32_t ioBoxId, std::int32_t portId,
                                     std::unique_ptr<TCHiIobDevice> device,
                                     zentrix::DeviceRefusal* refusal) {
    const auto refuse = [refusal](zentrix::DeviceRefusal why) {
        if (refusal != nullptr) {
            *refusal = why;
        }
        return false;
    };
    if (!device) {
        return refuse(zentrix::DeviceRefusal::NoDevice);
    }
    TCHiIobIOBox* target = FindIOBox(ioBoxId);
    if (target == nullptr && m_vecIOBoxes.size() == 1) {
        target = m_vecIOBoxes.front().get();
    }
    if (target == nullptr) {
        return refuse(zentrix::DeviceRefusal::UnknownIOBox);
    }
    // An id that another box holds would make one of the two devices unreachable.
    if (device->GetDeviceId() >= 0 && m_mapRouting.count(device->GetDeviceId()) != 0) {
        return refuse(zentrix::DeviceRefusal::DeviceIdInUse);
    }
    TCHiIobDevice* added = device.get();
    if (!target->AddDevice(portId, std::move(device), refusal)) {
        return false;
    }
    m_mapRouting.try_emplace(added->GetDeviceId(), target);
    return true;
}

void TCHiIobHardwareSetup::RemoveDevice(std::int32_t deviceId) {
    const auto it = m_mapRouting.find(deviceId);
    if (it == m_mapRouting.end()) {
        return;
    }
    it->second->RemoveDevice(deviceId);
    m_mapRouting.erase(it);
}

void TCHiIobHardwareSetup::RemoveAllDevices() {
    std::vector<const TCHiIobDevice*> devices;
    GetDevices(devices);
    std::vector<std::int32_t> ids;
    ids.reserve(devices.size());
    for (const TCHiIobDevice* device : devices) {
        ids.push_back(device->GetDeviceId());
    }
    for (const std::int32_t id : ids) {
        RemoveDevice(id);
    }
}

namespace {

bool SameDevice(const TCHiIobPortLink& current, const TCHiIobPortLink& edited) {
    if (current.m_pDeviceType == nullptr || current.m_pPort == nullptr ||
        edited.m_pPort == nullptr) {
        return false;
    }
    if (current.m_pPort->GetId() != edited.m_pPort->GetId() ||
        current.m_pDeviceType->GetId() != edited.m_pDeviceType->GetId() ||
        current.m_strDeviceId != edited.m_strDeviceId) {
        return false;
    }
    if ((current.m_pConnectorData == nullptr) != (edited.m_pConnectorData == nullptr)) {
        return false;
    }
    return current.m_pConnectorData == nullptr ||
           *current.m_pConnectorData == *edited.m_pConnectorData;
}

}  // namespace

void TCHiIobHardwareSetup::ApplyLinks(const TCHiIobPortMappings& mappings) {
    const TCHiIobLinks current(*this);
    std::vector<std::int32_t> removals;
    for (const auto& entry : current.GetIOBoxLinks()) {
        for (const auto& row : entry->m_lstPortLinks) {
            if (row->m_pDeviceType != nullptr) {
                removals.push_back(row->m_iDeviceId);
            }
        }
    }
    for (const auto& edited : mappings.GetIOBoxLinks()) {
        // A box that is gone takes nothing; its devices went with it.
        const TCHiIobIOBoxLinks* currentEntry = current.FindIOBoxLinks(edited->m_iIOBoxId);
        if (currentEntry == nullptr) {
            continue;
        }
        for (const auto& row : edited->m_lstPortLinks) {
            if (row->m_pDeviceType == nullptr || row->m_pPort == nullptr) {
                continue;
            }
            const auto kept = std::find_if(
                currentEntry->m_lstPortLinks.begin(), currentEntry->m_lstPortLinks.end(),
                [&row](const std::unique_ptr<TCHiIobPortLink>& c) { return SameDevice(*c, *row); });
            if (kept != currentEntry->m_lstPortLinks.end()) {
                std::erase(removals, (*kept)->m_iDeviceId);
                continue;
            }
            // Only a device the dialog would have accepted enters the setup.
            std::string unused;
            if (IsMissingDeviceId(row->m_strDeviceId) ||
                !mappings.CheckUniqueDeviceId(*row, row->m_strDeviceId, unused)) {
                continue;
            }
            const std::int32_t position =
                row->m_pConnectorData != nullptr ? row->m_pConnectorData->GetPosition() : -1;
            AddDevice(edited->m_iIOBoxId, row->m_pPort->GetId(),
                      std::make_unique<TCHiIobDevice>(this, row->m_strDeviceId,
                                                      row->m_pDeviceType->GetId(), position, -1));
        }
    }
    for (const std::int32_t id : removals) {
        RemoveDevice(id);
    }
}

void TCHiIobHardwareSetup::ChangeDevices(const std::function<void()>& change) {
    const bool wasSampling = m_pController->IsSampling();
    // A pass still running would see the change half done.
    if (!m_pController->StopSampler()) {
        throw std::runtime_error("the sampler thread could not be stopped");
    }
    for (const auto& box : m_vecIOBoxes) {
        box->UnconfigureHardware();
    }
    change();
    for (const auto& box : m_vecIOBoxes) {
        box->ConfigureHardware();
    }
    if (wasSampling) {
        m_pController->StartSampler();
    }
}

void TCHiIobHardwareSetup::GetEvents(std::vector<tagZentrixEvent>& events) {
    events.clear();
    events.swap(m_vecUndeliveredEvents);
    try {
        m_sessionEvents.TakeAll(events);
        for (const auto& box : m_vecIOBoxes) {
            box->TakeEvents(events);
        }
    } catch (...) {
        ReturnEvents(events);
        throw;
    }
    // Each source is in time order already; a stable sort keeps a box's own order where its
    // times tie, and a tie with the session's start or stop leaves that outermost.
    const auto rank = [](const tagZentrixEvent& event) {
        return event.m_eKind == eZentrixEvSamplingStarted   ? 0
               : event.m_eKind == eZentrixEvSamplingStopped ? 2
                                                            : 1;
    };
    std::stable_sort(
        events.begin(), events.end(), [&rank](const tagZentrixEvent& a, const tagZentrixEvent& b) {
            return a.m_nTimeUs != b.m_nTimeUs ? a.m_nTimeUs < b.m_nTimeUs : rank(a) < rank(b);
        });
}

void TCHiIobHardwareSetup::ReturnEvents(std::vector<tagZentrixEvent>& events) noexcept {
    // What was returned before is older and was handed out together with these.
    m_vecUndeliveredEvents.swap(events);
    events.clear();
}

tagZentrixTimeBase TCHiIobHardwareSetup::GetTimeBase() const {
    return m_timeBase;
}

void TCHiIobHardwareSetup::BeginSampling() {
    if (AreEventsKept()) {
        const auto utc = std::chrono::time_point_cast<std::chrono::microseconds>(
            std::chrono::system_clock::now());
        m_timeBase.m_nMonotonicUs = GetEventTime();
        m_timeBase.m_nUtcUs = utc.time_since_epoch().count();
        m_timeBase.m_bStarted = 1;
        std::vector<tagZentrixEvent> started;
        started.push_back(
            MakeZentrixEvent(eZentrixEvSamplingStarted, -1, m_timeBase.m_nMonotonicUs));
        m_sessionEvents.Append(started);
        for (const auto& box : m_vecIOBoxes) {
            box->NoteStartState(m_timeBase.m_nMonotonicUs);
        }
    }
    for (const auto& box : m_vecIOBoxes) {
        box->ResetForSampling();
    }
    for (const auto& box : m_vecIOBoxes) {
        box->PrepareOutputs();
    }
    SampleInputs(false);
    for (const auto& box : m_vecIOBoxes) {
        box->QueueDefaultCommands();
    }
    SampleOutputs(false);
    for (const auto& box : m_vecIOBoxes) {
        box->SetInputsFirst(true);
    }
}

void TCHiIobHardwareSetup::SampleInputs(bool onlyChanged) {
    for (const auto& box : m_vecIOBoxes) {
        box->InputPass(onlyChanged);
    }
}

void TCHiIobHardwareSetup::SampleOutputs(bool onlyChanged) {
    std::vector<TCHiIobIOBox*> boxes;
    boxes.reserve(m_vecIOBoxes.size());
    for (const auto& box : m_vecIOBoxes) {
        boxes.push_back(box.get());
    }
    SampleOutputs(boxes, onlyChanged);
}

std::vector<std::vector<TCHiIobIOBox*>> TCHiIobHardwareSetup::GetSamplingGroups() const {
    std::vector<std::vector<TCHiIobIOBox*>> groups;
    std::map<std::int32_t, std::size_t> groupOfId;
    for (const auto& box : m_vecIOBoxes) {
        const auto [it, added] = groupOfId.emplace(box->GetId(), groups.size());
        if (added) {
            groups.emplace_back();
        }
        groups[it->second].push_back(box.get());
    }
    return groups;
}

void TCHiIobHardwareSetup::SampleInputs(const std::vector<TCHiIobIOBox*>& boxes, bool onlyChanged) {
    for (TCHiIobIOBox* box : boxes) {
        box->InputPass(onlyChanged);
    }
}

void TCHiIobHardwareSetup::SampleOutputs(const std::vector<TCHiIobIOBox*>& boxes,
                                         bool onlyChanged) {
    TCHiIobCommandQueue commands;
    std::vector<std::pair<std::int32_t, std::int32_t>> boxCommands;
    for (TCHiIobIOBox* box : boxes) {
        m_pController->TakeCommands(box, boxCommands);
        if (boxCommands.empty()) {
            continue;
        }
        try {
            commands[box].swap(boxCommands);
        } catch (const std::bad_alloc&) {
            // Giving them back reuses the queue's entries, so the box still has them next pass.
            m_pController->ReturnCommands(box, boxCommands);
        }
    }
    std::vector<std::pair<std::int32_t, std::int32_t>> none;
    try {
        for (auto& [box, queued] : commands) {
            box->OutputPass(queued, onlyChanged);
        }
    } catch (...) {
        // Each box leaves in its list what it has not carried out; the next pass does it.
        m_pController->ReturnCommands(commands);
        throw;
    }
    // What a box kept waits for its line to take another pulse.
    m_pController->ReturnCommands(commands);
    for (TCHiIobIOBox* box : boxes) {
        if (commands.count(box) == 0) {
            none.clear();
            box->OutputPass(none, onlyChanged);
        }
    }
}

void TCHiIobHardwareSetup::EndSampling() {
    for (const auto& box : m_vecIOBoxes) {
        box->SetInputsFirst(false);
    }
    SampleOutputs(true);
    for (const auto& box : m_vecIOBoxes) {
        box->QueueDefaultCommands();
    }
    SampleOutputs(true);
    for (const auto& box : m_vecIOBoxes) {
        box->FinishOutputs();
    }
    if (AreEventsKept()) {
        std::vector<tagZentrixEvent> stopped;
        stopped.push_back(MakeZentrixEvent(eZentrixEvSamplingStopped, -1, GetEventTime()));
        m_sessionEvents.Append(stopped);
    }
}
