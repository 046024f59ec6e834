#include "Plugin.h"

#include <dlfcn.h>

#include <utility>

#include "CliError.h"
#include "platform/format/TextConversion.h"

namespace zentrix::cli {

namespace {

std::u16string PathText(const std::filesystem::path& directory) {
    return Utf8ToUtf16(directory.string());
}

// Frees an array the plug-in allocated, on every path out of the call that received it.
class TaskMemory {
public:
    TaskMemory(void* memory, PFN_CoTaskMemFree memFree) noexcept
        : m_memory(memory), m_memFree(memFree) {}
    ~TaskMemory() {
        if (m_memory != nullptr) {
            m_memFree(m_memory);
        }
    }
    TaskMemory(const TaskMemory&) = delete;
    TaskMemory& operator=(const TaskMemory&) = delete;

private:
    void* m_memory;
    PFN_CoTaskMemFree m_memFree;
};

}  // namespace

Component::~Component() {
    if (m_events != nullptr) {
        m_events->Release();
    }
    if (m_itf != nullptr) {
        m_itf->Release();
    }
}

Component::Component(Component&& other) noexcept
    : m_itf(std::exchange(other.m_itf, nullptr)),
      m_events(std::exchange(other.m_events, nullptr)),
      m_memFree(other.m_memFree) {}

Component& Component::operator=(Component&& other) noexcept {
    if (this != &other) {
        if (m_events != nullptr) {
            m_events->Release();
        }
        if (m_itf != nullptr) {
            m_itf->Release();
        }
        m_itf = std::exchange(other.m_itf, nullptr);
        m_events = std::exchange(other.m_events, nullptr);
        m_memFree = other.m_memFree;
    }
    return *this;
}

HRESULT Component::Load(const std::filesystem::path& directory) {
    const std::u16string text = PathText(directory);
    return m_itf->Load(text.c_str());
}

HRESULT Component::Save(const std::filesystem::path& directory) {
    const std::u16string text = PathText(directory);
    return m_itf->Save(text.c_str());
}

HRESULT Component::IsIoBoxConnected(std::int32_t ioBoxId) {
    return m_itf->IsIODeviceConnected(ioBoxId);
}

HRESULT Component::SendCommand(std::int32_t deviceId, std::int32_t commandId) {
    return m_itf->SendCommand(deviceId, commandId);
}

HRESULT Component::StartSampler() {
    return m_itf->StartSampler();
}

HRESULT Component::StopSampler() {
    return m_itf->StopSampler();
}

HRESULT Component::ShowDialog(bool readonly) {
    return m_itf->ShowDialog(readonly ? 1 : 0);
}

template <typename Record, typename Call>
std::vector<Record> Component::FetchArray(const char* what, Call call) {
    std::int32_t count = 0;
    Record* items = nullptr;
    const HRESULT result = call(&count, &items);
    const TaskMemory owner(items, m_memFree);
    ThrowIfFailed(result, what);
    if (count < 0 || (count > 0 && items == nullptr)) {
        throw CliError(std::string(what) + " returned a malformed array (count " +
                       std::to_string(count) + ")");
    }
    return std::vector<Record>(items, items + count);
}

std::vector<IoBoxInfo> Component::IoBoxes() {
    const auto records = FetchArray<tagTECKavexIdtIODevice>(
        "GetIODevices",
        [this](auto* count, auto** items) { return m_itf->GetIODevices(count, items); });
    std::vector<IoBoxInfo> boxes;
    boxes.reserve(records.size());
    for (const auto& record : records) {
        boxes.push_back({record.m_iId, FixedNameToUtf8(record.m_szName)});
    }
    return boxes;
}

std::vector<DeviceInfo> Component::Devices() {
    const auto records = FetchArray<tagTECKavexIdtHiDevice>(
        "GetDevices",
        [this](auto* count, auto** items) { return m_itf->GetDevices(count, items); });
    std::vector<DeviceInfo> devices;
    devices.reserve(records.size());
    for (const auto& record : records) {
        devices.push_back({record.m_iId, FixedNameToUtf8(record.m_szName), record.m_iDeviceTypeId});
    }
    return devices;
}

std::vector<DeviceTypeInfo> Component::DeviceTypes() {
    const auto records = FetchArray<tagTECKavexIdtHiDeviceType>(
        "GetDeviceTypes",
        [this](auto* count, auto** items) { return m_itf->GetDeviceTypes(count, items); });
    std::vector<DeviceTypeInfo> types;
    types.reserve(records.size());
    for (const auto& record : records) {
        types.push_back({record.m_iId, FixedNameToUtf8(record.m_szName), record.m_MaxFrequency});
    }
    return types;
}

std::vector<CommandInfo> Component::Commands(std::int32_t deviceTypeId) {
    const auto records = FetchArray<tagTECKavexIdtHiCommand>(
        "GetCommands", [this, deviceTypeId](auto* count, auto** items) {
            return m_itf->GetCommands(deviceTypeId, count, items);
        });
    std::vector<CommandInfo> commands;
    commands.reserve(records.size());
    for (const auto& record : records) {
        commands.push_back(
            {record.m_iId, FixedNameToUtf8(record.m_szName), record.m_bIsDefaultCommand != 0});
    }
    return commands;
}

std::vector<SignalInfo> Component::Signals(std::int32_t deviceTypeId) {
    const auto records = FetchArray<tagTECKavexIdtHiSignal>(
        "GetSignals", [this, deviceTypeId](auto* count, auto** items) {
            return m_itf->GetSignals(deviceTypeId, count, items);
        });
    std::vector<SignalInfo> signals;
    for (const auto& record : records) {
        SignalInfo signal{record.m_iId, FixedNameToUtf8(record.m_szName), record.m_eValueType,
                          std::nullopt};
        if (record.m_bHasValDefault != 0) {
            signal.defaultValue = record.m_valDefault;
        }
        signals.push_back(std::move(signal));
    }
    return signals;
}

tagTECKavexIdtHiValue Component::ReceiveSignal(std::int32_t deviceId, std::int32_t signalId) {
    tagTECKavexIdtHiValue value{};
    value.m_eType = eKavexIdtHiVtUndefined;
    ThrowIfFailed(m_itf->ReceiveSignal(deviceId, signalId, &value), "ReceiveSignal");
    return value;
}

void Component::EnableEvents() {
    if (m_events != nullptr) {
        return;
    }
    void* events = nullptr;
    ThrowIfFailed(m_itf->QueryInterface(IID_IZentrixEvents, &events),
                  "QueryInterface(IID_IZentrixEvents)");
    if (events == nullptr) {
        throw CliError("QueryInterface(IID_IZentrixEvents) returned no interface");
    }
    m_events = static_cast<IZentrixEvents*>(events);
}

IZentrixEvents& Component::EventsInterface(const char* what) {
    if (m_events == nullptr) {
        throw CliError(std::string(what) + " called before the events were enabled");
    }
    return *m_events;
}

void Component::Events(std::vector<tagZentrixEvent>& events) {
    IZentrixEvents& itf = EventsInterface("GetEvents");
    events = FetchArray<tagZentrixEvent>(
        "GetEvents", [&itf](auto* count, auto** items) { return itf.GetEvents(count, items); });
}

tagZentrixTimeBase Component::TimeBase() {
    tagZentrixTimeBase timeBase{};
    ThrowIfFailed(EventsInterface("GetTimeBase").GetTimeBase(&timeBase), "GetTimeBase");
    return timeBase;
}

std::int64_t Component::Now() {
    std::int64_t now = 0;
    ThrowIfFailed(EventsInterface("GetTime").GetTime(&now), "GetTime");
    return now;
}

std::string Component::Serial(std::int32_t ioBoxId) {
    char16_t serial[kKavexNameLength] = {};
    ThrowIfFailed(EventsInterface("GetIODeviceSerial").GetIODeviceSerial(ioBoxId, serial),
                  "GetIODeviceSerial");
    return FixedNameToUtf8(serial);
}

SamplerSession::SamplerSession(Component& component) : m_component(component) {
    ThrowIfFailed(m_component.StartSampler(), "StartSampler");
}

SamplerSession::~SamplerSession() {
    if (m_running) {
        m_component.StopSampler();
    }
}

void SamplerSession::Stop() {
    if (m_running) {
        m_running = false;
        ThrowIfFailed(m_component.StopSampler(), "StopSampler");
    }
}

PluginLibrary::PluginLibrary(std::filesystem::path path) : m_path(std::move(path)) {
    dlerror();
    m_handle = dlopen(m_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        const char* reason = dlerror();
        throw CliError("cannot load plug-in " + m_path.string() + ": " +
                       (reason != nullptr ? reason : "unknown error"));
    }
    m_getClassObject = reinterpret_cast<PFN_DllGetClassObject>(Symbol("DllGetClassObject"));
    m_canUnloadNow = reinterpret_cast<PFN_DllCanUnloadNow>(Symbol("DllCanUnloadNow"));
    m_registerServer = reinterpret_cast<PFN_DllRegisterServer>(Symbol("DllRegisterServer"));
    m_unregisterServer = reinterpret_cast<PFN_DllUnregisterServer>(Symbol("DllUnregisterServer"));
    m_memFree = reinterpret_cast<PFN_CoTaskMemFree>(Symbol("CoTaskMemFree"));
}

PluginLibrary::~PluginLibrary() {
    // Like CoFreeUnusedLibraries: unload only when the plug-in says no object of it is alive.
    if (m_canUnloadNow() == S_OK) {
        dlclose(m_handle);
    }
}

void* PluginLibrary::Symbol(const char* name) const {
    void* symbol = dlsym(m_handle, name);
    if (symbol == nullptr) {
        dlclose(m_handle);
        throw CliError("plug-in " + m_path.string() + " does not export " + name);
    }
    return symbol;
}

HRESULT PluginLibrary::RegisterServer() const {
    return m_registerServer();
}

HRESULT PluginLibrary::UnregisterServer() const {
    return m_unregisterServer();
}

Component PluginLibrary::CreateComponent(const GUID& classId) const {
    void* factoryPointer = nullptr;
    ThrowIfFailed(m_getClassObject(&classId, &IID_IClassFactory, &factoryPointer),
                  "DllGetClassObject");
    if (factoryPointer == nullptr) {
        throw CliError("DllGetClassObject returned no class factory");
    }
    auto* factory = static_cast<IClassFactory*>(factoryPointer);
    void* object = nullptr;
    const HRESULT result =
        factory->CreateInstance(nullptr, IID_ITECKavexHardwareInterface, &object);
    factory->Release();
    ThrowIfFailed(result, "IClassFactory::CreateInstance");
    if (object == nullptr) {
        throw CliError("IClassFactory::CreateInstance returned no object");
    }
    return Component(static_cast<ITECKavexHardwareInterface*>(object), m_memFree);
}

}  // namespace zentrix::cli
