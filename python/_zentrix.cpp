// The compiled layer of the Python package: loads libzentrix.so as every host does (its exports
// and host/ZentrixInterface.h only) and hands its records to Python as plain values; names,
// lookups, errors and the one-thread rule live in zentrix/_host.py.
#include <dlfcn.h>
#include <pybind11/chrono.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "CliError.h"
#include "EventKinds.h"
#include "Plugin.h"

namespace py = pybind11;
namespace cli = zentrix::cli;

namespace {

py::object ValueToPython(const tagTECKavexIdtHiValue& value) {
    switch (value.m_eType) {
        case eKavexIdtHiVtBool:
            return py::bool_(value.m_bValueBoolean != 0);
        case eKavexIdtHiVtLongLong:
            return py::int_(value.m_lValueLongLong);
        case eKavexIdtHiVtDouble:
            return py::float_(value.m_dbValueDouble);
        case eKavexIdtHiVtDuration:
            return py::cast(std::chrono::microseconds(value.m_nMicroSeconds));
        case eKavexIdtHiVtUndefined:
            break;
    }
    return py::none();
}

const char* ValueTypeName(tagEKavexIdtHiValueType type) {
    switch (type) {
        case eKavexIdtHiVtBool:
            return "bool";
        case eKavexIdtHiVtLongLong:
            return "int";
        case eKavexIdtHiVtDouble:
            return "float";
        case eKavexIdtHiVtDuration:
            return "duration";
        case eKavexIdtHiVtUndefined:
            break;
    }
    return "undefined";
}

// The directory this module was loaded from, to find the plug-in beside the package.
std::filesystem::path ModuleDirectory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ModuleDirectory), &info) == 0 ||
        info.dli_fname == nullptr) {
        return {};
    }
    std::error_code error;
    const auto file = std::filesystem::canonical(info.dli_fname, error);
    return error ? std::filesystem::path(info.dli_fname).parent_path() : file.parent_path();
}

// In the build tree the plug-in is in host/ two levels above python/zentrix/; installed, in the
// library directory the package was installed beside.
std::vector<std::string> PluginCandidates() {
    const std::filesystem::path directory = ModuleDirectory();
    return {(directory / ".." / ".." / "host" / "libzentrix.so").lexically_normal().string(),
            (directory / ZENTRIX_PLUGIN_FROM_PACKAGE / ZENTRIX_PLUGIN_FILE)
                .lexically_normal()
                .string()};
}

// One loaded plug-in and the component made from it; the component is released before the
// library, which unloads only when the plug-in says nothing of it is alive. Release does so at
// once, since a traceback that keeps this object alive would otherwise keep the boxes from the
// next component.
class Host {
public:
    explicit Host(const std::string& library)
        : m_library(std::make_unique<cli::PluginLibrary>(library)),
          m_component(m_library->CreateComponent(CLSID_Zentrix)) {}

    std::string LibraryPath() const { return m_library ? m_library->Path().string() : ""; }

    void Release() {
        m_component.reset();
        m_library.reset();
    }

    HRESULT Load(const std::string& directory) {
        py::gil_scoped_release release;
        return Itf().Load(directory);
    }

    HRESULT Save(const std::string& directory) {
        py::gil_scoped_release release;
        return Itf().Save(directory);
    }

    HRESULT IsConnected(std::int32_t box) { return Itf().IsIoBoxConnected(box); }

    std::vector<std::tuple<std::int32_t, std::string>> Boxes() {
        std::vector<std::tuple<std::int32_t, std::string>> boxes;
        for (const cli::IoBoxInfo& box : Itf().IoBoxes()) {
            boxes.emplace_back(box.id, box.name);
        }
        return boxes;
    }

    std::vector<std::tuple<std::int32_t, std::string, std::int32_t>> Devices() {
        std::vector<std::tuple<std::int32_t, std::string, std::int32_t>> devices;
        for (const cli::DeviceInfo& device : Itf().Devices()) {
            devices.emplace_back(device.id, device.name, device.typeId);
        }
        return devices;
    }

    std::vector<std::tuple<std::int32_t, std::string, double>> DeviceTypes() {
        std::vector<std::tuple<std::int32_t, std::string, double>> types;
        for (const cli::DeviceTypeInfo& type : Itf().DeviceTypes()) {
            types.emplace_back(type.id, type.name, type.maxFrequency);
        }
        return types;
    }

    std::vector<std::tuple<std::int32_t, std::string, bool>> Commands(std::int32_t type) {
        std::vector<std::tuple<std::int32_t, std::string, bool>> commands;
        for (const cli::CommandInfo& command : Itf().Commands(type)) {
            commands.emplace_back(command.id, command.name, command.isDefault);
        }
        return commands;
    }

    // (id, name, value type, whether it has a default, the default).
    py::list Signals(std::int32_t type) {
        py::list signals;
        for (const cli::SignalInfo& signal : Itf().Signals(type)) {
            const bool hasDefault = signal.defaultValue.has_value();
            signals.append(
                py::make_tuple(signal.id, signal.name, ValueTypeName(signal.valueType), hasDefault,
                               hasDefault ? ValueToPython(*signal.defaultValue) : py::none()));
        }
        return signals;
    }

    HRESULT Send(std::int32_t device, std::int32_t command) {
        py::gil_scoped_release release;
        return Itf().SendCommand(device, command);
    }

    py::object Receive(std::int32_t device, std::int32_t signal) {
        return ValueToPython(Itf().ReceiveSignal(device, signal));
    }

    HRESULT Start() {
        py::gil_scoped_release release;
        return Itf().StartSampler();
    }

    HRESULT Stop() {
        py::gil_scoped_release release;
        return Itf().StopSampler();
    }

    void EnableEvents() { Itf().EnableEvents(); }

    // Each event as (kind, box, device, signal, command, level, time, earliest, count, value,
    // change), ids -1 where the kind has none.
    py::list Events() {
        Itf().Events(m_events);
        py::list events;
        for (const tagZentrixEvent& event : m_events) {
            events.append(py::make_tuple(cli::EventKindName(event.m_eKind), event.m_iIODeviceId,
                                         event.m_iDeviceId, event.m_iSignalId, event.m_iCommandId,
                                         event.m_iLevel, event.m_nTimeUs, event.m_nEarliestUs,
                                         event.m_nCount, ValueToPython(event.m_value),
                                         ValueToPython(event.m_change)));
        }
        return events;
    }

    std::tuple<std::int64_t, std::int64_t, bool> TimeBase() {
        const tagZentrixTimeBase timeBase = Itf().TimeBase();
        return {timeBase.m_nMonotonicUs, timeBase.m_nUtcUs, timeBase.m_bStarted != 0};
    }

    std::int64_t Now() { return Itf().Now(); }

    std::string Serial(std::int32_t box) { return Itf().Serial(box); }

private:
    cli::Component& Itf() {
        if (!m_component) {
            throw cli::CliError("the component was released");
        }
        return *m_component;
    }

    std::unique_ptr<cli::PluginLibrary> m_library;
    std::optional<cli::Component> m_component;
    std::vector<tagZentrixEvent> m_events;
};

}  // namespace

PYBIND11_MODULE(_zentrix, module) {
    module.doc() = "The compiled layer of zentrix: the plug-in's component as plain values.";
    module.attr("__version__") = ZENTRIX_VERSION;
    py::register_exception<cli::CliError>(module, "Error");
    module.def("plugin_candidates", &PluginCandidates,
               "Where the plug-in is looked for when none is named, most likely first.");
    module.def("hresult_text", &cli::HresultText, "A status code as hexadecimal and its name.");
    module.attr("S_OK") = S_OK;
    module.attr("S_FALSE") = S_FALSE;
    module.attr("E_FAIL") = E_FAIL;
    module.attr("E_POINTER") = E_POINTER;
    module.attr("E_INVALIDARG") = E_INVALIDARG;
    py::class_<Host>(module, "Host")
        .def(py::init<const std::string&>(), py::arg("library"))
        .def_property_readonly("library_path", &Host::LibraryPath)
        .def("release", &Host::Release)
        .def("load", &Host::Load)
        .def("save", &Host::Save)
        .def("is_connected", &Host::IsConnected)
        .def("boxes", &Host::Boxes)
        .def("devices", &Host::Devices)
        .def("device_types", &Host::DeviceTypes)
        .def("commands", &Host::Commands)
        .def("signals", &Host::Signals)
        .def("send", &Host::Send)
        .def("receive", &Host::Receive)
        .def("start", &Host::Start)
        .def("stop", &Host::Stop)
        .def("enable_events", &Host::EnableEvents)
        .def("events", &Host::Events)
        .def("time_base", &Host::TimeBase)
        .def("now", &Host::Now)
        .def("serial", &Host::Serial);
}
