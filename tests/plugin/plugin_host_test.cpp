// A host of its own: loads libzentrix.so with dlopen, reaches the component only through the
// exported entry points and the public header, and exercises every method.
#include <ZentrixInterface.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Plugin {
    void* handle = nullptr;
    PFN_DllGetClassObject getClassObject = nullptr;
    PFN_DllCanUnloadNow canUnloadNow = nullptr;
    PFN_DllRegisterServer registerServer = nullptr;
    PFN_DllUnregisterServer unregisterServer = nullptr;
    PFN_CoTaskMemFree free = nullptr;
};

std::filesystem::path g_scratch;

const Plugin& Load() {
    static Plugin plugin = [] {
        g_scratch = std::filesystem::temp_directory_path() /
                    ("zentrix-plugin-test-" + std::to_string(::getpid()));
        std::filesystem::create_directories(g_scratch);
        // The demo bench: one simulated box with id 0.
        setenv("ZENTRIX_IOWARRIOR", "sim", 1);
        setenv("ZENTRIX_REGISTRY", (g_scratch / "registry.reg").c_str(), 1);
        Plugin loaded;
        loaded.handle = dlopen(ZENTRIX_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        if (loaded.handle == nullptr) {
            ADD_FAILURE() << dlerror();
            return loaded;
        }
        auto symbol = [&](const char* name) { return dlsym(loaded.handle, name); };
        loaded.getClassObject =
            reinterpret_cast<PFN_DllGetClassObject>(symbol("DllGetClassObject"));
        loaded.canUnloadNow = reinterpret_cast<PFN_DllCanUnloadNow>(symbol("DllCanUnloadNow"));
        loaded.registerServer =
            reinterpret_cast<PFN_DllRegisterServer>(symbol("DllRegisterServer"));
        loaded.unregisterServer =
            reinterpret_cast<PFN_DllUnregisterServer>(symbol("DllUnregisterServer"));
        loaded.free = reinterpret_cast<PFN_CoTaskMemFree>(symbol("CoTaskMemFree"));
        return loaded;
    }();
    return plugin;
}

IClassFactory* Factory() {
    void* factory = nullptr;
    EXPECT_EQ(Load().getClassObject(&CLSID_Zentrix, &IID_IClassFactory, &factory), S_OK);
    return static_cast<IClassFactory*>(factory);
}

ITECKavexHardwareInterface* Create() {
    void* object = nullptr;
    EXPECT_EQ(Factory()->CreateInstance(nullptr, IID_ITECKavexHardwareInterface, &object), S_OK);
    return static_cast<ITECKavexHardwareInterface*>(object);
}

std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

std::string Narrow(const char16_t* name) {
    std::string text;
    for (; *name != 0; ++name) {
        text.push_back(static_cast<char>(*name));
    }
    return text;
}

// Removes the scratch directory when the test program ends.
class ScratchCleanup : public ::testing::Environment {
public:
    void TearDown() override {
        std::error_code ignored;
        if (!g_scratch.empty()) {
            std::filesystem::remove_all(g_scratch, ignored);
        }
    }
};

const auto* const g_cleanup = ::testing::AddGlobalTestEnvironment(new ScratchCleanup);

TEST(PluginHost, ExportsFindTheOneClassAndItsCachedFactory) {
    const Plugin& plugin = Load();
    ASSERT_NE(plugin.handle, nullptr);
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(plugin.getClassObject(&IID_IDispatch, &IID_IClassFactory, &out),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(plugin.getClassObject(&CLSID_Zentrix, &IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(Factory(), Factory());
    void* unknown = nullptr;
    EXPECT_EQ(plugin.getClassObject(&CLSID_Zentrix, &IID_IUnknown, &unknown), S_OK);
    EXPECT_EQ(unknown, static_cast<IUnknown*>(Factory()));
    EXPECT_EQ(plugin.getClassObject(&CLSID_Zentrix, &IID_IDispatch, &unknown), E_NOINTERFACE);
}

TEST(PluginHost, QueryInterfaceAnswersOnlyItsTwoInterfaces) {
    ITECKavexHardwareInterface* itf = Create();
    ASSERT_NE(itf, nullptr);
    void* out = nullptr;
    EXPECT_EQ(itf->QueryInterface(IID_IDispatch, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(itf->QueryInterface(IID_IUnknown, &out), S_OK);
    EXPECT_EQ(out, static_cast<IUnknown*>(itf));
    static_cast<IUnknown*>(out)->Release();
    EXPECT_EQ(itf->QueryInterface(IID_ITECKavexHardwareInterface, nullptr), E_POINTER);
    EXPECT_EQ(itf->Release(), 0u);
}

TEST(PluginHost, UnloadIsAllowedOnlyWithoutObjectsAndLocks) {
    const Plugin& plugin = Load();
    ITECKavexHardwareInterface* itf = Create();
    EXPECT_EQ(plugin.canUnloadNow(), S_FALSE);
    itf->Release();
    EXPECT_EQ(plugin.canUnloadNow(), S_OK);
    Factory()->LockServer(1);
    EXPECT_EQ(plugin.canUnloadNow(), S_FALSE);
    Factory()->LockServer(0);
    EXPECT_EQ(plugin.canUnloadNow(), S_OK);
}

TEST(PluginHost, ReleasingOneObjectLeavesAnothersBoxConnected) {
    const Plugin& plugin = Load();
    ITECKavexHardwareInterface* first = Create();
    ITECKavexHardwareInterface* second = Create();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->IsIODeviceConnected(0), S_OK);
    // The controller stays with the object that has it; the other lists the box, unconnected.
    EXPECT_EQ(second->IsIODeviceConnected(0), S_FALSE);
    EXPECT_EQ(second->Release(), 0u);
    EXPECT_EQ(plugin.canUnloadNow(), S_FALSE);
    // Starting and stopping sampling exchanges reports with the controller, which is still open.
    EXPECT_EQ(first->StartSampler(), S_OK);
    EXPECT_EQ(first->StopSampler(), S_OK);
    EXPECT_EQ(first->IsIODeviceConnected(0), S_OK);
    EXPECT_EQ(first->Release(), 0u);
    EXPECT_EQ(plugin.canUnloadNow(), S_OK);
}

// An outer object that aggregates the component and counts its own references.
class Outer final : public IUnknown {
public:
    IUnknown* inner = nullptr;
    ULONG references = 1;
    HRESULT QueryInterface(const GUID& riid, void** ppv) override {
        if (riid == IID_IUnknown) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        return inner->QueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return ++references; }
    ULONG Release() override { return --references; }
};

TEST(PluginHost, AggregationHandsOutTheInnerUnknownOnly) {
    Outer outer;
    void* object = nullptr;
    EXPECT_EQ(Factory()->CreateInstance(&outer, IID_ITECKavexHardwareInterface, &object),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
    ASSERT_EQ(Factory()->CreateInstance(&outer, IID_IUnknown, &object), S_OK);
    outer.inner = static_cast<IUnknown*>(object);
    void* itf = nullptr;
    ASSERT_EQ(outer.inner->QueryInterface(IID_ITECKavexHardwareInterface, &itf), S_OK);
    // The interface's reference counting belongs to the outer object.
    const ULONG before = outer.references;
    static_cast<ITECKavexHardwareInterface*>(itf)->AddRef();
    EXPECT_EQ(outer.references, before + 1);
    static_cast<ITECKavexHardwareInterface*>(itf)->Release();
    static_cast<ITECKavexHardwareInterface*>(itf)->Release();
    EXPECT_EQ(outer.inner->Release(), 0u);
    EXPECT_EQ(Load().canUnloadNow(), S_OK);
}

TEST(PluginHost, DescribeCallsReturnHostOwnedArrays) {
    const Plugin& plugin = Load();
    ITECKavexHardwareInterface* itf = Create();

    std::int32_t count = -1;
    tagTECKavexIdtIODevice* boxes = nullptr;
    ASSERT_EQ(itf->GetIODevices(&count, &boxes), S_OK);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(boxes[0].m_iId, 0);
    EXPECT_EQ(Narrow(boxes[0].m_szName), "Tamsel IO box");
    // The one array cleared first: every unit after the terminator is zero.
    for (int i = 13; i < kKavexNameLength; ++i) {
        EXPECT_EQ(boxes[0].m_szName[i], 0);
    }
    plugin.free(boxes);
    EXPECT_EQ(itf->IsIODeviceConnected(0), S_OK);
    EXPECT_EQ(itf->IsIODeviceConnected(-1), S_FALSE);

    tagTECKavexIdtHiDeviceType* types = nullptr;
    ASSERT_EQ(itf->GetDeviceTypes(&count, &types), S_OK);
    ASSERT_EQ(count, 6);
    EXPECT_EQ(Narrow(types[3].m_szName), "Lickometer (KX-503)");
    EXPECT_EQ(types[3].m_MaxFrequency, 2.0);
    plugin.free(types);

    tagTECKavexIdtHiCommand* commands = nullptr;
    ASSERT_EQ(itf->GetCommands(0, &count, &commands), S_OK);
    ASSERT_EQ(count, 6);
    EXPECT_EQ(commands[0].m_iId, 1);
    EXPECT_EQ(Narrow(commands[0].m_szName), "White spot on");
    EXPECT_EQ(commands[1].m_bIsDefaultCommand, 1);
    plugin.free(commands);
    commands = nullptr;
    ASSERT_EQ(itf->GetCommands(99, &count, &commands), S_OK);
    EXPECT_EQ(count, 0);
    EXPECT_NE(commands, nullptr);
    std::free(commands);  // a host may free with free() too

    tagTECKavexIdtHiSignal* signals = nullptr;
    ASSERT_EQ(itf->GetSignals(3, &count, &signals), S_OK);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(signals[1].m_eValueType, eKavexIdtHiVtDuration);
    EXPECT_EQ(signals[1].m_bHasValDefault, 1);
    EXPECT_EQ(signals[1].m_valDefault.m_eType, eKavexIdtHiVtDuration);
    EXPECT_EQ(signals[1].m_valDefault.m_nMicroSeconds, 0);
    plugin.free(signals);

    tagTECKavexIdtHiDevice* devices = nullptr;
    ASSERT_EQ(itf->GetDevices(&count, &devices), S_OK);
    EXPECT_EQ(count, 0);
    plugin.free(devices);

    // Null out-pointers are refused and touch nothing.
    count = 77;
    EXPECT_EQ(itf->GetDevices(&count, nullptr), E_POINTER);
    EXPECT_EQ(count, 77);
    EXPECT_EQ(itf->GetSignals(0, nullptr, &signals), E_POINTER);
    EXPECT_EQ(itf->Load(nullptr), E_POINTER);
    EXPECT_EQ(itf->Save(nullptr), E_POINTER);
    EXPECT_EQ(itf->ReceiveSignal(0, 0, nullptr), E_POINTER);
    itf->Release();
}

void WriteSetup(const std::filesystem::path& directory) {
    std::filesystem::create_directories(directory);
    std::ofstream(directory / "HardwareSetup.xml")
        << R"(<?xml version="1.0" encoding="UTF-8" standalone="yes" ?>
<!DOCTYPE boost_serialization>
<boost_serialization signature="serialization::archive" version="18">
<HardwareSetup class_id="0" tracking_level="0" version="0">
	<m_vecConfigDataIOBox class_id="1" tracking_level="0" version="0">
		<count>1</count>
		<item_version>0</item_version>
		<item class_id="2" tracking_level="0" version="0">
			<m_iIOBoxId>0</m_iIOBoxId>
			<m_eIOBoxType>0</m_eIOBoxType>
			<m_vecConfigDataPortDevice class_id="3" tracking_level="0" version="0">
				<count>2</count>
				<item_version>0</item_version>
				<item class_id="4" tracking_level="0" version="0">
					<m_iPortId>5</m_iPortId>
					<m_iConnectorPortId>-1</m_iConnectorPortId>
					<m_iDeviceTypeId>2</m_iDeviceTypeId>
					<m_iDeviceId>3</m_iDeviceId>
					<m_strDeviceName>Pellets &amp; more</m_strDeviceName>
				</item>
				<item>
					<m_iPortId>13</m_iPortId>
					<m_iConnectorPortId>2</m_iConnectorPortId>
					<m_iDeviceTypeId>0</m_iDeviceTypeId>
					<m_iDeviceId>7</m_iDeviceId>
					<m_strDeviceName>Top left</m_strDeviceName>
				</item>
			</m_vecConfigDataPortDevice>
		</item>
	</m_vecConfigDataIOBox>
</HardwareSetup>
</boost_serialization>
)";
}

TEST(PluginHost, LoadSaveCommandsAndSignals) {
    const Plugin& plugin = Load();
    ITECKavexHardwareInterface* itf = Create();
    const std::filesystem::path in = g_scratch / "in";
    const std::filesystem::path out = g_scratch / "out";
    WriteSetup(in);
    ASSERT_EQ(itf->Load(Wide(in.string()).c_str()), S_OK);

    std::int32_t count = 0;
    tagTECKavexIdtHiDevice* devices = nullptr;
    ASSERT_EQ(itf->GetDevices(&count, &devices), S_OK);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(devices[0].m_iId, 3);
    EXPECT_EQ(Narrow(devices[0].m_szName), "Pellets & more");
    EXPECT_EQ(devices[0].m_iDeviceTypeId, 2);
    EXPECT_EQ(devices[1].m_iId, 7);
    plugin.free(devices);

    EXPECT_EQ(itf->SendCommand(99, 0), E_FAIL);
    EXPECT_EQ(itf->SendCommand(7, 1), S_OK);   // White spot on
    EXPECT_EQ(itf->SendCommand(7, 42), S_OK);  // unknown command: accepted, no effect
    tagTECKavexIdtHiValue value;
    std::memset(&value, 0x33, sizeof value);
    EXPECT_EQ(itf->ReceiveSignal(99, 0, &value), S_OK);
    EXPECT_EQ(value.m_lValueLongLong, 0x3333333333333333);

    EXPECT_EQ(itf->StartSampler(), S_OK);
    EXPECT_EQ(itf->SendCommand(7, 1), S_OK);
    bool on = false;
    for (int attempt = 0; attempt < 200 && !on; ++attempt) {
        EXPECT_EQ(itf->ReceiveSignal(7, 0, &value), S_OK);
        on = value.m_eType == eKavexIdtHiVtBool && value.m_bValueBoolean != 0;
        if (!on) {
            usleep(10000);
        }
    }
    EXPECT_TRUE(on);
    EXPECT_EQ(itf->StopSampler(), S_OK);
    // After stopping, every output is at its default level.
    EXPECT_EQ(itf->ReceiveSignal(7, 0, &value), S_OK);
    EXPECT_EQ(value.m_bValueBoolean, 0);
    EXPECT_EQ(itf->StopSampler(), S_OK);

    // Saving into a missing directory writes nothing and says so; into an existing one, the same
    // devices.
    EXPECT_EQ(itf->Save(Wide(out.string()).c_str()), E_FAIL);
    EXPECT_FALSE(std::filesystem::exists(out / "HardwareSetup.xml"));
    std::filesystem::create_directories(out);
    EXPECT_EQ(itf->Save(Wide(out.string()).c_str()), S_OK);
    ITECKavexHardwareInterface* second = Create();
    ASSERT_EQ(second->Load(Wide(out.string()).c_str()), S_OK);
    ASSERT_EQ(second->GetDevices(&count, &devices), S_OK);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(Narrow(devices[0].m_szName), "Pellets & more");
    EXPECT_EQ(devices[1].m_iId, 7);
    plugin.free(devices);
    second->Release();

    // A missing file leaves no devices.
    EXPECT_EQ(itf->Load(Wide((g_scratch / "nowhere").string()).c_str()), S_OK);
    ASSERT_EQ(itf->GetDevices(&count, &devices), S_OK);
    EXPECT_EQ(count, 0);
    plugin.free(devices);
    EXPECT_EQ(itf->Release(), 0u);
}

TEST(PluginHost, SendCommandAnswersEFailOnceABoxHoldsTheMostCommandsItKeeps) {
    ITECKavexHardwareInterface* itf = Create();
    const std::filesystem::path in = g_scratch / "bound";
    WriteSetup(in);
    ASSERT_EQ(itf->Load(Wide(in.string()).c_str()), S_OK);
    // With sampling stopped nothing takes the commands of box 0, which holds both devices.
    constexpr int kBound = 65536;
    for (int i = 0; i < kBound; ++i) {
        ASSERT_EQ(itf->SendCommand(3, 0), S_OK) << i;  // Drop pellet
    }
    EXPECT_EQ(itf->SendCommand(3, 0), E_FAIL);
    EXPECT_EQ(itf->SendCommand(7, 1), E_FAIL);
    EXPECT_EQ(itf->SendCommand(99, 0), E_FAIL);
    // Starting drops what was queued while stopped, so the box takes commands again.
    EXPECT_EQ(itf->StartSampler(), S_OK);
    EXPECT_EQ(itf->SendCommand(7, 1), S_OK);
    EXPECT_EQ(itf->StopSampler(), S_OK);
    EXPECT_EQ(itf->Release(), 0u);
}

// The devices as the host sees them, as "id:name" in the host's order.
std::vector<std::string> DeviceList(ITECKavexHardwareInterface* itf) {
    std::int32_t count = 0;
    tagTECKavexIdtHiDevice* devices = nullptr;
    std::vector<std::string> list;
    if (itf->GetDevices(&count, &devices) != S_OK) {
        return list;
    }
    for (std::int32_t i = 0; i < count; ++i) {
        list.push_back(std::to_string(devices[i].m_iId) + ":" + Narrow(devices[i].m_szName));
    }
    Load().free(devices);
    return list;
}

TEST(PluginHost, WithoutADisplayShowDialogShowsNothingChangesNothingAndTheHostLives) {
    const Plugin& plugin = Load();
    ASSERT_NE(plugin.handle, nullptr);
    const std::filesystem::path in = g_scratch / "no-display";
    WriteSetup(in);
    // In a child, so that a toolkit that aborted for want of a display would not take the test
    // program with it; the exit code says which step failed.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        unsetenv("QT_QPA_PLATFORM");
        ITECKavexHardwareInterface* itf = Create();
        if (itf->Load(Wide(in.string()).c_str()) != S_OK) {
            _exit(10);
        }
        const std::vector<std::string> before = DeviceList(itf);
        if (before != std::vector<std::string>{"3:Pellets & more", "7:Top left"}) {
            _exit(11);
        }
        if (itf->ShowDialog(0) != S_FALSE || itf->ShowDialog(1) != S_FALSE) {
            _exit(12);
        }
        if (DeviceList(itf) != before) {
            _exit(13);
        }
        // Everything else still works after the refused dialog.
        if (itf->StartSampler() != S_OK || itf->SendCommand(3, 0) != S_OK ||
            itf->StopSampler() != S_OK) {
            _exit(14);
        }
        _exit(itf->Release() == 0 ? 0 : 15);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the host died with signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(PluginHost, RegistrationWritesAndRemovesTheClassKeys) {
    const Plugin& plugin = Load();
    ASSERT_EQ(plugin.registerServer(), S_OK);
    ASSERT_EQ(plugin.registerServer(), S_OK);
    std::stringstream text;
    text << std::ifstream(g_scratch / "registry.reg").rdbuf();
    const std::string store = text.str();
    const std::string classKey =
        "[HKEY_CLASSES_ROOT\\CLSID\\{AABBC529-E3D6-43F3-A4B4-08310341BCD0}]";
    const std::size_t first = store.find(classKey);
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(store.find(classKey, first + 1), std::string::npos);
    EXPECT_NE(store.find("\"ThreadingModel\"=\"Apartment\""), std::string::npos);
    EXPECT_NE(store.find("libzentrix.so"), std::string::npos);
    EXPECT_NE(store.find("[HKEY_CLASSES_ROOT\\Zentrix.Zentrix\\CurVer]"), std::string::npos);
    EXPECT_NE(store.find("Implemented Categories\\{AA96C423-B08F-4DC6-A7DF-F82234754970}]"),
              std::string::npos);

    ASSERT_EQ(plugin.unregisterServer(), S_OK);
    std::stringstream after;
    after << std::ifstream(g_scratch / "registry.reg").rdbuf();
    EXPECT_EQ(after.str().find("AABBC529"), std::string::npos);
    EXPECT_EQ(after.str().find("Zentrix.Zentrix"), std::string::npos);
}

}  // namespace
