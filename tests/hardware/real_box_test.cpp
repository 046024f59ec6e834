// Drives a real IO box through the plug-in as a host does (dlopen, the exported entry points and
// the public header only) on the default backend, the kernel driver. It needs a box plugged in and
// skips without one. A TTL port tester goes on TTL port 1 of the first box, or on the port named
// by ZENTRIX_HARDWARE_TTL_PORT (1..12); its lights are toggled and read back, its button lines
// read, and the time from SendCommand until the sampled read-back shows the new level reported.
//
// Real hardware runs on wall-clock time, so this test polls with short sleeps instead of the
// virtual clock the other tests use.
#include <ZentrixInterface.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::int32_t kTtlPortTesterType = 4;
constexpr std::int32_t kTesterDeviceId = 1;
constexpr auto kReadBackTimeout = std::chrono::seconds(1);
constexpr int kToggleRounds = 20;

std::vector<fs::path> IoWarriorNodes() {
    std::vector<fs::path> nodes;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/dev/usb", error)) {
        if (entry.path().filename().string().rfind("iowarrior", 0) == 0) {
            nodes.push_back(entry.path());
        }
    }
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

int TesterPort() {
    const char* text = std::getenv("ZENTRIX_HARDWARE_TTL_PORT");
    const int port = text != nullptr ? std::atoi(text) : 1;
    return port >= 1 && port <= 12 ? port : 1;
}

std::string Narrow(const char16_t* name) {
    std::string text;
    for (; *name != 0; ++name) {
        text.push_back(*name < 0x80 ? static_cast<char>(*name) : '?');
    }
    return text;
}

std::string HardwareSetupXml(std::int32_t boxId, int port) {
    return R"(<?xml version="1.0" encoding="UTF-8" standalone="yes" ?>
<!DOCTYPE boost_serialization>
<boost_serialization signature="serialization::archive" version="18">
<HardwareSetup class_id="0" tracking_level="0" version="0">
	<m_vecConfigDataIOBox class_id="1" tracking_level="0" version="0">
		<count>1</count>
		<item_version>0</item_version>
		<item class_id="2" tracking_level="0" version="0">
			<m_iIOBoxId>)" +
           std::to_string(boxId) + R"(</m_iIOBoxId>
			<m_eIOBoxType>0</m_eIOBoxType>
			<m_vecConfigDataPortDevice class_id="3" tracking_level="0" version="0">
				<count>1</count>
				<item_version>0</item_version>
				<item class_id="4" tracking_level="0" version="0">
					<m_iPortId>)" +
           std::to_string(port) + R"(</m_iPortId>
					<m_iConnectorPortId>-1</m_iConnectorPortId>
					<m_iDeviceTypeId>)" +
           std::to_string(kTtlPortTesterType) + R"(</m_iDeviceTypeId>
					<m_iDeviceId>)" +
           std::to_string(kTesterDeviceId) + R"(</m_iDeviceId>
					<m_strDeviceName>Port tester</m_strDeviceName>
				</item>
			</m_vecConfigDataPortDevice>
		</item>
	</m_vecConfigDataIOBox>
</HardwareSetup>
</boost_serialization>
)";
}

class RealIoBoxTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto nodes = IoWarriorNodes();
        if (nodes.empty()) {
            GTEST_SKIP() << "no IO-Warrior box: /dev/usb has no iowarrior* node (plug in a box "
                            "and load the iowarrior kernel module to run this test)";
        }
        for (const auto& node : nodes) {
            std::printf("device node: %s\n", node.c_str());
        }
        m_scratch = fs::temp_directory_path() / ("zentrix-hardware-" + std::to_string(getpid()));
        fs::create_directories(m_scratch);
        // The default backend is the kernel driver; a registry of our own keeps the user's apart.
        unsetenv("ZENTRIX_IOWARRIOR");
        setenv("ZENTRIX_REGISTRY", (m_scratch / "registry.reg").c_str(), 1);

        m_library = dlopen(ZENTRIX_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(m_library, nullptr) << dlerror();
        const auto getClassObject =
            reinterpret_cast<PFN_DllGetClassObject>(dlsym(m_library, "DllGetClassObject"));
        m_free = reinterpret_cast<PFN_CoTaskMemFree>(dlsym(m_library, "CoTaskMemFree"));
        ASSERT_NE(getClassObject, nullptr);
        ASSERT_NE(m_free, nullptr);
        void* factory = nullptr;
        ASSERT_EQ(getClassObject(&CLSID_Zentrix, &IID_IClassFactory, &factory), S_OK);
        void* object = nullptr;
        const HRESULT created = static_cast<IClassFactory*>(factory)->CreateInstance(
            nullptr, IID_ITECKavexHardwareInterface, &object);
        static_cast<IClassFactory*>(factory)->Release();
        ASSERT_EQ(created, S_OK);
        m_component = static_cast<ITECKavexHardwareInterface*>(object);
    }

    void TearDown() override {
        if (m_component != nullptr) {
            m_component->Release();
        }
        std::error_code ignored;
        if (!m_scratch.empty()) {
            fs::remove_all(m_scratch, ignored);
        }
    }

    std::optional<std::int32_t> FirstBox() {
        std::int32_t count = 0;
        tagTECKavexIdtIODevice* boxes = nullptr;
        EXPECT_EQ(m_component->GetIODevices(&count, &boxes), S_OK);
        std::optional<std::int32_t> first;
        for (std::int32_t i = 0; i < count; ++i) {
            std::printf("IO box %d: %s\n", boxes[i].m_iId, Narrow(boxes[i].m_szName).c_str());
            if (boxes[i].m_iId != -1 && !first) {
                first = boxes[i].m_iId;
            }
        }
        m_free(boxes);
        return first;
    }

    std::int32_t CommandId(const std::string& name) {
        std::int32_t count = 0;
        tagTECKavexIdtHiCommand* commands = nullptr;
        EXPECT_EQ(m_component->GetCommands(kTtlPortTesterType, &count, &commands), S_OK);
        std::int32_t id = -1;
        for (std::int32_t i = 0; i < count; ++i) {
            if (Narrow(commands[i].m_szName) == name) {
                id = commands[i].m_iId;
            }
        }
        m_free(commands);
        EXPECT_NE(id, -1) << "the TTL port tester has no command " << name;
        return id;
    }

    std::int32_t SignalId(const std::string& name) {
        std::int32_t count = 0;
        tagTECKavexIdtHiSignal* signals = nullptr;
        EXPECT_EQ(m_component->GetSignals(kTtlPortTesterType, &count, &signals), S_OK);
        std::int32_t id = -1;
        for (std::int32_t i = 0; i < count; ++i) {
            if (Narrow(signals[i].m_szName) == name) {
                id = signals[i].m_iId;
            }
        }
        m_free(signals);
        EXPECT_NE(id, -1) << "the TTL port tester has no signal " << name;
        return id;
    }

    tagTECKavexIdtHiValue Receive(std::int32_t signalId) {
        tagTECKavexIdtHiValue value{};
        value.m_eType = eKavexIdtHiVtUndefined;
        EXPECT_EQ(m_component->ReceiveSignal(kTesterDeviceId, signalId, &value), S_OK);
        return value;
    }

    // Sends the command and waits until the sampled read-back of the light shows the level;
    // returns how long that took, or nothing when it never did.
    std::optional<Clock::duration> SwitchLight(std::int32_t commandId, std::int32_t readBackId,
                                               bool on) {
        const auto start = Clock::now();
        EXPECT_EQ(m_component->SendCommand(kTesterDeviceId, commandId), S_OK);
        while (Clock::now() - start < kReadBackTimeout) {
            const tagTECKavexIdtHiValue value = Receive(readBackId);
            if (value.m_eType == eKavexIdtHiVtBool && (value.m_bValueBoolean != 0) == on) {
                return Clock::now() - start;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return std::nullopt;
    }

    fs::path m_scratch;
    void* m_library = nullptr;
    PFN_CoTaskMemFree m_free = nullptr;
    ITECKavexHardwareInterface* m_component = nullptr;
};

TEST_F(RealIoBoxTest, TogglesAPortTestersLightsReadsItsButtonsAndTimesTheRoundTrip) {
    const std::optional<std::int32_t> box = FirstBox();
    ASSERT_TRUE(box.has_value())
        << "IO-Warrior nodes exist but the plug-in opened no box; `zentrix check` or "
           "ZENTRIX_LOG=info says why (permissions: install the udev rule and re-plug)";
    EXPECT_EQ(m_component->IsIODeviceConnected(*box), S_OK);

    const int port = TesterPort();
    std::ofstream(m_scratch / "HardwareSetup.xml") << HardwareSetupXml(*box, port);
    const std::string scratch = m_scratch.string();
    const std::u16string directory(scratch.begin(), scratch.end());
    ASSERT_EQ(m_component->Load(directory.c_str()), S_OK);
    std::int32_t count = 0;
    tagTECKavexIdtHiDevice* devices = nullptr;
    ASSERT_EQ(m_component->GetDevices(&count, &devices), S_OK);
    const bool configured = count == 1 && devices[0].m_iId == kTesterDeviceId &&
                            devices[0].m_iDeviceTypeId == kTtlPortTesterType;
    m_free(devices);
    ASSERT_TRUE(configured) << "the TTL port tester on TTL port " << port << " was not taken";
    std::printf("TTL port tester on box %d, TTL port %d\n", *box, port);

    struct Light {
        std::int32_t on;
        std::int32_t off;
        std::int32_t readBack;
    };
    const Light lights[] = {
        {CommandId("Light 1 on"), CommandId("Light 1 off"), SignalId("Is light 1 on")},
        {CommandId("Light 2 on"), CommandId("Light 2 off"), SignalId("Is light 2 on")},
    };

    ASSERT_EQ(m_component->StartSampler(), S_OK);
    std::vector<double> roundTripsMs;
    for (int round = 0; round < kToggleRounds; ++round) {
        for (const Light& light : lights) {
            for (const bool on : {true, false}) {
                const auto took = SwitchLight(on ? light.on : light.off, light.readBack, on);
                ASSERT_TRUE(took.has_value()) << "light read-back never showed " << on;
                roundTripsMs.push_back(std::chrono::duration<double, std::milli>(*took).count());
            }
        }
    }

    const struct {
        const char* name;
        tagEKavexIdtHiValueType type;
    } inputs[] = {{"Button 1 presses", eKavexIdtHiVtLongLong},
                  {"Is button 1 pressed", eKavexIdtHiVtBool},
                  {"Button 2 presses", eKavexIdtHiVtLongLong},
                  {"Is button 2 pressed", eKavexIdtHiVtBool}};
    for (const auto& input : inputs) {
        const tagTECKavexIdtHiValue value = Receive(SignalId(input.name));
        EXPECT_EQ(value.m_eType, input.type) << input.name;
        if (value.m_eType == eKavexIdtHiVtBool) {
            std::printf("%s: %s\n", input.name, value.m_bValueBoolean != 0 ? "true" : "false");
        } else {
            std::printf("%s: %lld\n", input.name, static_cast<long long>(value.m_lValueLongLong));
        }
    }
    EXPECT_EQ(m_component->StopSampler(), S_OK);
    EXPECT_EQ(m_component->IsIODeviceConnected(*box), S_OK) << "the box detached while sampling";

    std::sort(roundTripsMs.begin(), roundTripsMs.end());
    std::printf("SendCommand to read-back, %zu toggles: min %.2f ms, median %.2f ms, max %.2f ms\n",
                roundTripsMs.size(), roundTripsMs.front(), roundTripsMs[roundTripsMs.size() / 2],
                roundTripsMs.back());
}

}  // namespace
