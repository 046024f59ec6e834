// Loading libzentrix.so the way any host does (dlopen and the exported entry points only) and a
// component wrapper that turns the interface's arrays into owned C++ values.
#ifndef ZENTRIX_CLI_PLUGIN_H
#define ZENTRIX_CLI_PLUGIN_H

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "ZentrixInterface.h"

namespace zentrix::cli {

struct IoBoxInfo {
    std::int32_t id = 0;
    std::string name;
};

struct DeviceInfo {
    std::int32_t id = 0;
    std::string name;
    std::int32_t typeId = 0;
};

struct DeviceTypeInfo {
    std::int32_t id = 0;
    std::string name;
    double maxFrequency = 0.0;
};

struct CommandInfo {
    std::int32_t id = 0;
    std::string name;
    bool isDefault = false;
};

struct SignalInfo {
    std::int32_t id = 0;
    std::string name;
    tagEKavexIdtHiValueType valueType = eKavexIdtHiVtUndefined;
    std::optional<tagTECKavexIdtHiValue> defaultValue;
};

class Component {
public:
    Component(ITECKavexHardwareInterface* itf, PFN_CoTaskMemFree memFree) noexcept
        : m_itf(itf), m_memFree(memFree) {}
    ~Component();
    Component(Component&& other) noexcept;
    Component& operator=(Component&& other) noexcept;
    Component(const Component&) = delete;
    Component& operator=(const Component&) = delete;

    HRESULT Load(const std::filesystem::path& directory);
    HRESULT Save(const std::filesystem::path& directory);
    HRESULT IsIoBoxConnected(std::int32_t ioBoxId);
    HRESULT SendCommand(std::int32_t deviceId, std::int32_t commandId);
    HRESULT StartSampler();
    HRESULT StopSampler();
    HRESULT ShowDialog(bool readonly);

    // The list calls throw CliError when the plug-in reports a failure or a malformed array.
    std::vector<IoBoxInfo> IoBoxes();
    std::vector<DeviceInfo> Devices();
    std::vector<DeviceTypeInfo> DeviceTypes();
    std::vector<CommandInfo> Commands(std::int32_t deviceTypeId);
    std::vector<SignalInfo> Signals(std::int32_t deviceTypeId);
    tagTECKavexIdtHiValue ReceiveSignal(std::int32_t deviceId, std::int32_t signalId);

    // Asks for IZentrixEvents, which the plug-in keeps events for only from then on, so it must
    // come before StartSampler; the event calls below throw CliError until it has been done.
    void EnableEvents();
    // Replaces events with the ones since the previous call, in time order.
    void Events(std::vector<tagZentrixEvent>& events);
    tagZentrixTimeBase TimeBase();
    // Now on the events' clock, in microseconds.
    std::int64_t Now();
    // The serial number of the box's controller, empty for a box without one.
    std::string Serial(std::int32_t ioBoxId);

private:
    template <typename Record, typename Call>
    std::vector<Record> FetchArray(const char* what, Call call);
    IZentrixEvents& EventsInterface(const char* what);

    ITECKavexHardwareInterface* m_itf = nullptr;
    IZentrixEvents* m_events = nullptr;
    PFN_CoTaskMemFree m_memFree = nullptr;
};

// Runs the sampler for its lifetime so that every exit path, exceptions included, stops it.
class SamplerSession {
public:
    explicit SamplerSession(Component& component);
    ~SamplerSession();
    SamplerSession(const SamplerSession&) = delete;
    SamplerSession& operator=(const SamplerSession&) = delete;

    // Stops the sampler now and reports a failure, instead of swallowing it in the destructor.
    void Stop();

private:
    Component& m_component;
    bool m_running = true;
};

class PluginLibrary {
public:
    explicit PluginLibrary(std::filesystem::path path);
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    HRESULT RegisterServer() const;
    HRESULT UnregisterServer() const;
    Component CreateComponent(const GUID& classId) const;

private:
    void* Symbol(const char* name) const;

    std::filesystem::path m_path;
    void* m_handle = nullptr;
    PFN_DllGetClassObject m_getClassObject = nullptr;
    PFN_DllCanUnloadNow m_canUnloadNow = nullptr;
    PFN_DllRegisterServer m_registerServer = nullptr;
    PFN_DllUnregisterServer m_unregisterServer = nullptr;
    PFN_CoTaskMemFree m_memFree = nullptr;
};

}  // namespace zentrix::cli

#endif
