// Bad input through the public interface only: the plug-in is loaded with dlopen, runs without
// IO-Warrior hardware (its placeholder box takes every device), and every method is called with
// null pointers, impossible ids, directory names that name no usable directory and damaged
// configuration files. Each call must answer its documented status, not crash or throw, and leave
// the stored file whole.
#include <ZentrixInterface.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/BoundedChild.h"
#include "support/RunAsUser.h"

namespace {

namespace fs = std::filesystem;
using zentrix::testing::GiveToOrdinaryUser;
using zentrix::testing::RunAsUser;

constexpr std::size_t kMaxDirectoryNameUnits = 32768;

struct Plugin {
    void* handle = nullptr;
    PFN_DllGetClassObject getClassObject = nullptr;
    PFN_CoTaskMemFree free = nullptr;
};

fs::path g_scratch;

const Plugin& LoadPlugin() {
    static Plugin plugin = [] {
        g_scratch = fs::temp_directory_path() / ("zentrix-bad-input-" + std::to_string(::getpid()));
        fs::create_directories(g_scratch);
        fs::permissions(g_scratch, fs::perms::owner_all | fs::perms::group_read |
                                       fs::perms::group_exec | fs::perms::others_read |
                                       fs::perms::others_exec);
        setenv("ZENTRIX_IOWARRIOR", "none", 1);
        setenv("ZENTRIX_REGISTRY", (g_scratch / "registry.reg").c_str(), 1);
        // Warnings go to a file of the test's own, where the tests look for the reasons they give.
        setenv("ZENTRIX_LOG", ("warning:" + (g_scratch / "zentrix.log").string()).c_str(), 1);
        Plugin loaded;
        loaded.handle = dlopen(ZENTRIX_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        if (loaded.handle == nullptr) {
            ADD_FAILURE() << dlerror();
            return loaded;
        }
        loaded.getClassObject =
            reinterpret_cast<PFN_DllGetClassObject>(dlsym(loaded.handle, "DllGetClassObject"));
        loaded.free = reinterpret_cast<PFN_CoTaskMemFree>(dlsym(loaded.handle, "CoTaskMemFree"));
        return loaded;
    }();
    return plugin;
}

// Removes the scratch directory when the test program ends.
class ScratchCleanup : public ::testing::Environment {
public:
    void TearDown() override {
        std::error_code ignored;
        if (!g_scratch.empty()) {
            for (const char* directory :
                 {"readonly", "readonly/with-file", "readonly/empty", "readonly/unreadable"}) {
                fs::permissions(g_scratch / directory, fs::perms::owner_all, ignored);
            }
            fs::remove_all(g_scratch, ignored);
        }
    }
};

const auto* const g_cleanup = ::testing::AddGlobalTestEnvironment(new ScratchCleanup);

// Holds one component object for a test and releases it at the end.
class Component {
public:
    Component() {
        const Plugin& plugin = LoadPlugin();
        if (plugin.getClassObject == nullptr) {
            return;
        }
        void* factory = nullptr;
        if (plugin.getClassObject(&CLSID_Zentrix, &IID_IClassFactory, &factory) != S_OK) {
            return;
        }
        void* object = nullptr;
        static_cast<IClassFactory*>(factory)->CreateInstance(
            nullptr, IID_ITECKavexHardwareInterface, &object);
        m_itf = static_cast<ITECKavexHardwareInterface*>(object);
    }
    ~Component() {
        if (m_itf != nullptr) {
            m_itf->Release();
        }
    }
    Component(const Component&) = delete;
    Component& operator=(const Component&) = delete;

    ITECKavexHardwareInterface* operator->() const { return m_itf; }
    explicit operator bool() const { return m_itf != nullptr; }

private:
    ITECKavexHardwareInterface* m_itf = nullptr;
};

std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

// The devices as (id, type id) pairs, in the order GetDevices returns them.
std::vector<std::pair<std::int32_t, std::int32_t>> Devices(const Component& itf) {
    std::int32_t count = -1;
    tagTECKavexIdtHiDevice* array = nullptr;
    EXPECT_EQ(itf->GetDevices(&count, &array), S_OK);
    std::vector<std::pair<std::int32_t, std::int32_t>> devices;
    for (std::int32_t i = 0; i < count; ++i) {
        devices.emplace_back(array[i].m_iId, array[i].m_iDeviceTypeId);
    }
    LoadPlugin().free(array);
    return devices;
}

const std::vector<std::pair<std::int32_t, std::int32_t>> kValidDevices = {{3, 2}, {7, 0}};

const std::string kValidFile = R"(<?xml version="1.0" encoding="UTF-8" standalone="yes" ?>
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
					<m_strDeviceName>Pellets</m_strDeviceName>
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

void WriteFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A directory holding the valid configuration file.
fs::path ValidDirectory() {
    const fs::path directory = g_scratch / "valid";
    fs::create_directories(directory);
    WriteFile(directory / "HardwareSetup.xml", kValidFile);
    return directory;
}

void LoadValid(const Component& itf) {
    ASSERT_EQ(itf->Load(Wide(ValidDirectory().string()).c_str()), S_OK);
    ASSERT_EQ(Devices(itf), kValidDevices);
}

std::set<std::string> Entries(const fs::path& directory) {
    std::set<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(directory, error)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// The lines of the plug-in's log that contain the piece.
std::vector<std::string> LogLines(const std::string& piece) {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(g_scratch / "zentrix.log"));
    for (std::string line; std::getline(in, line);) {
        if (line.find(piece) != std::string::npos) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::string ReplaceFirst(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) {
        text.replace(at, from.size(), to);
    }
    return text;
}

TEST(BadInput, NullPointersAreRefusedAndTouchNothing) {
    const Component itf;
    ASSERT_TRUE(itf);
    LoadValid(itf);

    constexpr std::int32_t kCountSentinel = 4711;
    void* const kArraySentinel = reinterpret_cast<void*>(0x1234);
    std::int32_t count = kCountSentinel;
    void* array = kArraySentinel;
    // Every pointer argument of every method, alone and together with its partner.
    const std::vector<std::pair<const char*, std::function<HRESULT()>>> calls = {
        {"Load", [&] { return itf->Load(nullptr); }},
        {"Save", [&] { return itf->Save(nullptr); }},
        {"QueryInterface", [&] { return itf->QueryInterface(IID_IUnknown, nullptr); }},
        {"GetIODevices count",
         [&] {
             return itf->GetIODevices(nullptr, reinterpret_cast<tagTECKavexIdtIODevice**>(&array));
         }},
        {"GetIODevices array", [&] { return itf->GetIODevices(&count, nullptr); }},
        {"GetIODevices both", [&] { return itf->GetIODevices(nullptr, nullptr); }},
        {"GetDevices count",
         [&] {
             return itf->GetDevices(nullptr, reinterpret_cast<tagTECKavexIdtHiDevice**>(&array));
         }},
        {"GetDevices array", [&] { return itf->GetDevices(&count, nullptr); }},
        {"GetDevices both", [&] { return itf->GetDevices(nullptr, nullptr); }},
        {"GetDeviceTypes count",
         [&] {
             return itf->GetDeviceTypes(nullptr,
                                        reinterpret_cast<tagTECKavexIdtHiDeviceType**>(&array));
         }},
        {"GetDeviceTypes array", [&] { return itf->GetDeviceTypes(&count, nullptr); }},
        {"GetDeviceTypes both", [&] { return itf->GetDeviceTypes(nullptr, nullptr); }},
        {"GetCommands count",
         [&] {
             return itf->GetCommands(0, nullptr,
                                     reinterpret_cast<tagTECKavexIdtHiCommand**>(&array));
         }},
        {"GetCommands array", [&] { return itf->GetCommands(0, &count, nullptr); }},
        {"GetCommands both", [&] { return itf->GetCommands(0, nullptr, nullptr); }},
        {"GetCommands unknown type", [&] { return itf->GetCommands(-99, &count, nullptr); }},
        {"GetSignals count",
         [&] {
             return itf->GetSignals(0, nullptr, reinterpret_cast<tagTECKavexIdtHiSignal**>(&array));
         }},
        {"GetSignals array", [&] { return itf->GetSignals(0, &count, nullptr); }},
        {"GetSignals both", [&] { return itf->GetSignals(0, nullptr, nullptr); }},
        {"GetSignals unknown type", [&] { return itf->GetSignals(-99, &count, nullptr); }},
        {"ReceiveSignal known device", [&] { return itf->ReceiveSignal(3, 0, nullptr); }},
        {"ReceiveSignal unknown device", [&] { return itf->ReceiveSignal(-1, 0, nullptr); }},
    };
    for (const auto& [name, call] : calls) {
        SCOPED_TRACE(name);
        EXPECT_EQ(call(), E_POINTER);
        EXPECT_EQ(count, kCountSentinel);
        EXPECT_EQ(array, kArraySentinel);
        EXPECT_EQ(Devices(itf), kValidDevices);
    }
}

TEST(BadInput, ImpossibleIdsGetTheirDocumentedAnswers) {
    const Component itf;
    ASSERT_TRUE(itf);
    LoadValid(itf);

    std::set<std::int32_t> typeIds;
    {
        std::int32_t count = 0;
        tagTECKavexIdtHiDeviceType* types = nullptr;
        ASSERT_EQ(itf->GetDeviceTypes(&count, &types), S_OK);
        for (std::int32_t i = 0; i < count; ++i) {
            typeIds.insert(types[i].m_iId);
        }
        LoadPlugin().free(types);
    }
    ASSERT_FALSE(typeIds.empty());
    const std::set<std::int32_t> deviceIds = {3, 7};

    const std::vector<std::int32_t> ids = {INT32_MIN, INT32_MIN + 1, -2,       -1, 0, 1, 2, 3, 7,
                                           8,         12345,         INT32_MAX};
    for (const std::int32_t id : ids) {
        SCOPED_TRACE(id);
        // Without a controller only the placeholder box exists, and it is never attached.
        EXPECT_EQ(itf->IsIODeviceConnected(id), S_FALSE);

        const bool knownType = typeIds.count(id) != 0;
        std::int32_t count = -1;
        tagTECKavexIdtHiCommand* commands = nullptr;
        EXPECT_EQ(itf->GetCommands(id, &count, &commands), S_OK);
        EXPECT_NE(commands, nullptr);
        if (!knownType) {
            EXPECT_EQ(count, 0);
        }
        LoadPlugin().free(commands);
        count = -1;
        tagTECKavexIdtHiSignal* signals = nullptr;
        EXPECT_EQ(itf->GetSignals(id, &count, &signals), S_OK);
        EXPECT_NE(signals, nullptr);
        EXPECT_EQ(count > 0, knownType);
        LoadPlugin().free(signals);

        const bool knownDevice = deviceIds.count(id) != 0;
        EXPECT_EQ(itf->SendCommand(id, 0), knownDevice ? S_OK : E_FAIL);
        // The command id is checked only when the command is carried out.
        EXPECT_EQ(itf->SendCommand(3, id), S_OK);

        tagTECKavexIdtHiValue value;
        std::memset(&value, 0xA5, sizeof value);
        tagTECKavexIdtHiValue untouched;
        std::memcpy(&untouched, &value, sizeof value);
        EXPECT_EQ(itf->ReceiveSignal(id, 0, &value), S_OK);
        if (!knownDevice) {
            EXPECT_EQ(std::memcmp(&value, &untouched, sizeof value), 0);
        }
        EXPECT_EQ(itf->ReceiveSignal(3, id, &value), S_OK);
        EXPECT_EQ(itf->ReceiveSignal(7, id, &value), S_OK);
    }
    std::int32_t count = 0;
    tagTECKavexIdtIODevice* boxes = nullptr;
    ASSERT_EQ(itf->GetIODevices(&count, &boxes), S_OK);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(boxes[0].m_iId, -1);
    LoadPlugin().free(boxes);
    EXPECT_EQ(Devices(itf), kValidDevices);
}

// A name of exactly the longest length the plug-in reads, with no terminator, that ends where the
// readable memory ends: reading one unit further faults.
class UnterminatedName {
public:
    UnterminatedName() {
        const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        m_nameBytes = kMaxDirectoryNameUnits * sizeof(char16_t);
        m_mappedBytes = (m_nameBytes + page - 1) / page * page + page;
        void* memory = ::mmap(nullptr, m_mappedBytes, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) {
            return;
        }
        m_memory = static_cast<char*>(memory);
        char* guard = m_memory + m_mappedBytes - page;
        ::mprotect(guard, page, PROT_NONE);
        m_name = reinterpret_cast<char16_t*>(guard - m_nameBytes);
        std::fill(m_name, m_name + kMaxDirectoryNameUnits, u'a');
        m_name[0] = u'/';
    }
    ~UnterminatedName() {
        if (m_memory != nullptr) {
            ::munmap(m_memory, m_mappedBytes);
        }
    }
    UnterminatedName(const UnterminatedName&) = delete;
    UnterminatedName& operator=(const UnterminatedName&) = delete;

    const char16_t* Get() const { return m_name; }

private:
    char* m_memory = nullptr;
    char16_t* m_name = nullptr;
    std::size_t m_nameBytes = 0;
    std::size_t m_mappedBytes = 0;
};

struct DirectoryNameCase {
    const char* what;
    std::function<std::u16string()> name;
    // The directory the name would reach if it were read loosely, which must stay as it was.
    fs::path untouched;
};

TEST(BadInput, DirectoryNamesThatNameNoUsableDirectoryLoadNothingAndSaveNothing) {
    const Component itf;
    ASSERT_TRUE(itf);
    const fs::path base = g_scratch / "names";
    fs::create_directories(base);

    // An unpaired surrogate has no spelling in a file name here; it must not reach the directory
    // whose name carries U+FFFD in its place.
    const fs::path replaced = base / "setup\xEF\xBF\xBD";
    const fs::path regularFile = base / "plain-file";
    const fs::path missing = base / "missing";
    std::string longName = base.string() + "/";
    while (longName.size() <= PATH_MAX) {
        longName += std::string(200, 'x') + "/";
    }
    const std::string longest = "/" + std::string(kMaxDirectoryNameUnits - 2, 'y');

    // An empty name is the current directory, as a path joined onto nothing is.
    const fs::path emptyCurrent = base / "current";
    fs::create_directories(emptyCurrent);
    const fs::path previousCurrent = fs::current_path();
    fs::current_path(emptyCurrent);
    const std::vector<DirectoryNameCase> cases = {
        {"empty", [] { return std::u16string(); }, {}},
        {"unpaired high surrogate", [&] { return Wide((base / "setup").string()) + u'\xD800'; },
         replaced},
        {"unpaired low surrogate", [&] { return Wide((base / "setup").string()) + u'\xDC00'; },
         replaced},
        {"reversed surrogate pair",
         [&] { return Wide((base / "setup").string()) + u'\xDC00' + u'\xD800'; },
         replaced.string() + "\xEF\xBF\xBD"},
        {"longer than PATH_MAX", [&] { return Wide(longName); }, {}},
        {"longest readable name", [&] { return Wide(longest); }, {}},
        {"a regular file", [&] { return Wide(regularFile.string()); }, {}},
        {"missing directory", [&] { return Wide(missing.string()); }, {}},
    };
    for (const DirectoryNameCase& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(regularFile, "not a directory");
        if (!c.untouched.empty()) {
            fs::create_directories(c.untouched);
            WriteFile(c.untouched / "HardwareSetup.xml", kValidFile);
        }
        const std::u16string name = c.name();

        LoadValid(itf);
        EXPECT_EQ(itf->Load(name.c_str()), S_OK);
        EXPECT_TRUE(Devices(itf).empty());

        LoadValid(itf);
        if (!c.untouched.empty()) {
            fs::remove(c.untouched / "HardwareSetup.xml");
        }
        if (!name.empty()) {
            EXPECT_EQ(itf->Save(name.c_str()), E_FAIL);
        }
        EXPECT_EQ(Devices(itf), kValidDevices);
        EXPECT_EQ(ReadFile(regularFile), "not a directory");
        EXPECT_FALSE(fs::exists(missing));
        if (!c.untouched.empty()) {
            EXPECT_TRUE(Entries(c.untouched).empty());
        }
    }
    EXPECT_TRUE(Entries(emptyCurrent).empty());
    fs::current_path(previousCurrent);

    const UnterminatedName unterminated;
    ASSERT_NE(unterminated.Get(), nullptr);
    LoadValid(itf);
    EXPECT_EQ(itf->Load(unterminated.Get()), S_OK);
    EXPECT_TRUE(Devices(itf).empty());
    LoadValid(itf);
    EXPECT_EQ(itf->Save(unterminated.Get()), E_FAIL);
    EXPECT_EQ(Devices(itf), kValidDevices);
    // The two unpaired surrogates, the reversed pair and the unterminated name.
    EXPECT_EQ(LogLines("zentrix: warning: config: Save: the directory name has an unpaired "
                       "surrogate or no terminator within 32768 UTF-16 units; nothing saved")
                  .size(),
              4U);
    EXPECT_EQ(LogLines("warning: config: Load: the directory name has an unpaired surrogate or no "
                       "terminator within 32768 UTF-16 units; no devices configured")
                  .size(),
              4U);
}

TEST(BadInput, ReadOnlyOrUnreadablePlacesKeepTheirFileWhole) {
    const Component itf;
    ASSERT_TRUE(itf);
    const fs::path readOnly = g_scratch / "readonly";
    const fs::path withFile = readOnly / "with-file";
    const fs::path empty = readOnly / "empty";
    const fs::path unreadable = readOnly / "unreadable";
    fs::create_directories(withFile);
    fs::create_directories(empty);
    fs::create_directories(unreadable);
    const std::string oldContent = ReplaceFirst(kValidFile, "Pellets", "Old pellets");
    WriteFile(withFile / "HardwareSetup.xml", oldContent);
    WriteFile(unreadable / "HardwareSetup.xml", kValidFile);
    for (const fs::path& path :
         {readOnly, withFile, empty, unreadable, withFile / "HardwareSetup.xml",
          unreadable / "HardwareSetup.xml"}) {
        ASSERT_TRUE(GiveToOrdinaryUser(path)) << path;
    }
    const auto readOnlyDirectory = fs::perms::owner_read | fs::perms::owner_exec;
    fs::permissions(withFile / "HardwareSetup.xml", fs::perms::owner_read);
    fs::permissions(unreadable / "HardwareSetup.xml", fs::perms::none);
    for (const fs::path& path : {withFile, empty, unreadable, readOnly}) {
        fs::permissions(path, readOnlyDirectory);
    }

    LoadValid(itf);
    const std::optional<bool> keptEverything = RunAsUser([&] {
        const bool refused = itf->Save(Wide(withFile.string()).c_str()) == E_FAIL &&
                             itf->Save(Wide(empty.string()).c_str()) == E_FAIL &&
                             itf->Save(Wide((readOnly / "new").string()).c_str()) == E_FAIL;
        const bool unchanged = Devices(itf) == kValidDevices;
        const bool loadedNothing =
            itf->Load(Wide(unreadable.string()).c_str()) == S_OK && Devices(itf).empty();
        return refused && unchanged && loadedNothing;
    });
    ASSERT_TRUE(keptEverything.has_value());
    EXPECT_TRUE(*keptEverything);
    EXPECT_EQ(ReadFile(withFile / "HardwareSetup.xml"), oldContent);
    EXPECT_EQ(Entries(withFile), std::set<std::string>{"HardwareSetup.xml"});
    EXPECT_TRUE(Entries(empty).empty());
    EXPECT_EQ(Entries(readOnly), (std::set<std::string>{"empty", "unreadable", "with-file"}));
    EXPECT_EQ(Devices(itf), kValidDevices);
    EXPECT_EQ(
        LogLines(withFile.string() + "/HardwareSetup.xml: not saved (Permission denied)").size(),
        1U);
    EXPECT_EQ(LogLines(empty.string() + "/HardwareSetup.xml: not saved (Permission denied)").size(),
              1U);
    EXPECT_EQ(
        LogLines((readOnly / "new").string() + "/HardwareSetup.xml: not saved (No such file or "
                                               "directory)")
            .size(),
        1U);
}

TEST(BadInput, SavesThatWriteNothingAnswerEFailAndKeepTheOldFile) {
    const Component itf;
    ASSERT_TRUE(itf);
    const fs::path base = g_scratch / "unwritable";
    const fs::path occupied = base / "occupied";
    fs::create_directories(occupied / "HardwareSetup.xml");
    const fs::path full = base / "full";
    fs::create_directories(full);
    const std::string oldContent = ReplaceFirst(kValidFile, "Pellets", "Old pellets");
    WriteFile(full / "HardwareSetup.xml", oldContent);
    LoadValid(itf);

    EXPECT_EQ(itf->Save(Wide(occupied.string()).c_str()), E_FAIL);
    EXPECT_TRUE(fs::is_directory(occupied / "HardwareSetup.xml"));
    EXPECT_EQ(Entries(occupied), std::set<std::string>{"HardwareSetup.xml"});
    EXPECT_EQ(LogLines(occupied.string() + "/HardwareSetup.xml: not saved (Is a directory)").size(),
              1U);

    // A file size limit makes the write fail part way, as a full disk does. It binds the log too,
    // so the limit stays above the log's size and a long name makes the file larger still.
    const fs::path longName = base / "long-name";
    fs::create_directories(longName);
    const std::size_t nameLength = 1U << 18U;
    WriteFile(longName / "HardwareSetup.xml",
              ReplaceFirst(kValidFile, "Pellets", std::string(nameLength, 'n')));
    ASSERT_EQ(itf->Load(Wide(longName.string()).c_str()), S_OK);
    ASSERT_EQ(Devices(itf), kValidDevices);
    const auto limit = static_cast<rlim_t>(fs::file_size(g_scratch / "zentrix.log") + 4096);
    ASSERT_LT(limit, nameLength);
    const std::optional<bool> refused = zentrix::testing::RunInBoundedChild([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit sizeLimit{limit, limit};
        return ::setrlimit(RLIMIT_FSIZE, &sizeLimit) == 0 &&
               itf->Save(Wide(full.string()).c_str()) == E_FAIL;
    });
    ASSERT_TRUE(refused.has_value());
    EXPECT_TRUE(*refused);
    EXPECT_EQ(ReadFile(full / "HardwareSetup.xml"), oldContent);
    EXPECT_EQ(Entries(full), std::set<std::string>{"HardwareSetup.xml"});
    EXPECT_EQ(LogLines(full.string() + "/HardwareSetup.xml: not saved (File too large)").size(),
              1U);

    // S_OK means the file holds exactly the devices.
    EXPECT_EQ(itf->Save(Wide(full.string()).c_str()), S_OK);
    const Component fresh;
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->Load(Wide(full.string()).c_str()), S_OK);
    EXPECT_EQ(Devices(fresh), kValidDevices);
}

struct FileCase {
    const char* what;
    std::string content;
    std::vector<std::pair<std::int32_t, std::int32_t>> devices;
};

std::string Binary() {
    std::string bytes;
    for (int round = 0; round < 8; ++round) {
        for (int byte = 0; byte < 256; ++byte) {
            bytes.push_back(static_cast<char>((byte * 37 + round) & 0xFF));
        }
    }
    return bytes;
}

TEST(BadInput, DamagedFilesLoadWhatTheyHoldWhole) {
    const Component itf;
    ASSERT_TRUE(itf);
    const fs::path directory = g_scratch / "damaged";
    fs::create_directories(directory);
    const std::string devicesCount = "<count>2</count>";
    const std::string boxesCount = "<count>1</count>";
    const std::vector<FileCase> cases = {
        {"empty", "", {}},
        {"UTF-8 byte-order mark", "\xEF\xBB\xBF" + kValidFile, kValidDevices},
        {"binary", Binary(), {}},
        {"NUL bytes", std::string(4096, '\0'), {}},
        {"wrong root",
         ReplaceFirst(ReplaceFirst(kValidFile, "<HardwareSetup ", "<Other "), "</HardwareSetup>",
                      "</Other>"),
         {}},
        {"huge box count", ReplaceFirst(kValidFile, boxesCount, "<count>4294967295</count>"),
         kValidDevices},
        {"box count beyond 64 bits",
         ReplaceFirst(kValidFile, boxesCount, "<count>99999999999999999999999</count>"),
         {}},
        {"negative box count", ReplaceFirst(kValidFile, boxesCount, "<count>-1</count>"),
         kValidDevices},
        {"huge device count",
         ReplaceFirst(kValidFile, devicesCount, "<count>18446744073709551615</count>"),
         {}},
        {"port zero", ReplaceFirst(kValidFile, "<m_iPortId>5<", "<m_iPortId>0<"), {{7, 0}}},
        {"port 26", ReplaceFirst(kValidFile, "<m_iPortId>5<", "<m_iPortId>26<"), {{7, 0}}},
        {"port negative",
         ReplaceFirst(kValidFile, "<m_iPortId>5<", "<m_iPortId>-2147483648<"),
         {{7, 0}}},
        {"port beyond int",
         ReplaceFirst(kValidFile, "<m_iPortId>5<", "<m_iPortId>2147483648<"),
         {}},
        {"connector position huge",
         ReplaceFirst(kValidFile, "<m_iConnectorPortId>2<", "<m_iConnectorPortId>2147483647<"),
         {{3, 2}}},
        {"connector position negative",
         ReplaceFirst(kValidFile, "<m_iConnectorPortId>2<", "<m_iConnectorPortId>-7<"),
         {{3, 2}}},
        {"unknown device type",
         ReplaceFirst(kValidFile, "<m_iDeviceTypeId>2<", "<m_iDeviceTypeId>2147483647<"),
         {{7, 0}}},
        {"negative device type",
         ReplaceFirst(kValidFile, "<m_iDeviceTypeId>2<", "<m_iDeviceTypeId>-1<"),
         {{7, 0}}},
        {"largest device id",
         ReplaceFirst(kValidFile, "<m_iDeviceId>3<", "<m_iDeviceId>2147483647<"),
         {{7, 0}, {2147483647, 2}}},
        {"duplicate device id",
         ReplaceFirst(kValidFile, "<m_iDeviceId>3<", "<m_iDeviceId>7<"),
         {{7, 2}}},
        {"huge box id", ReplaceFirst(kValidFile, "<m_iIOBoxId>0<", "<m_iIOBoxId>2147483647<"),
         kValidDevices},
        {"unknown class version",
         ReplaceFirst(kValidFile, "class_id=\"4\" tracking_level=\"0\" version=\"0\"",
                      "class_id=\"4\" tracking_level=\"0\" version=\"99\""),
         {}},
    };
    for (const FileCase& c : cases) {
        SCOPED_TRACE(c.what);
        LoadValid(itf);
        WriteFile(directory / "HardwareSetup.xml", c.content);
        EXPECT_EQ(itf->Load(Wide(directory.string()).c_str()), S_OK);
        auto devices = Devices(itf);
        std::sort(devices.begin(), devices.end());
        auto expected = c.devices;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(devices, expected);
    }
}

TEST(BadInput, EveryTruncationOfAValidFileLoadsNothingOrTheWholeBox) {
    const Component itf;
    ASSERT_TRUE(itf);
    const fs::path directory = g_scratch / "truncated";
    fs::create_directories(directory);
    const std::wstring_view::size_type boxEnd =
        kValidFile.find("</item>\n\t</m_vecConfigDataIOBox>") + std::string("</item>").size();
    ASSERT_NE(boxEnd, std::string::npos);
    const std::u16string name = Wide(directory.string());
    std::size_t firstWhole = kValidFile.size() + 1;
    for (std::size_t length = 0; length <= kValidFile.size(); ++length) {
        WriteFile(directory / "HardwareSetup.xml", kValidFile.substr(0, length));
        ASSERT_EQ(itf->Load(name.c_str()), S_OK) << length;
        const auto devices = Devices(itf);
        if (devices.empty()) {
            ASSERT_GT(firstWhole, length) << "the box came and went again at " << length;
            continue;
        }
        ASSERT_EQ(devices, kValidDevices) << length;
        firstWhole = std::min(firstWhole, length);
    }
    // The box counts once its entry is complete, and the whole file holds it.
    EXPECT_GE(firstWhole, boxEnd);
    EXPECT_LE(firstWhole, kValidFile.size());
}

}  // namespace

namespace {

// The events interface through the exports alone, on the placeholder box that stands in for
// missing hardware: it shares the object's identity, refuses null pointers, and tells a host that
// the box has no controller instead of inventing input.
TEST(EventsInterface, SharesTheObjectAndReportsASessionOnABoxWithoutHardware) {
    const Component itf;
    ASSERT_TRUE(itf);
    LoadValid(itf);
    void* raw = nullptr;
    ASSERT_EQ(itf->QueryInterface(IID_IZentrixEvents, &raw), S_OK);
    auto* events = static_cast<IZentrixEvents*>(raw);
    void* back = nullptr;
    ASSERT_EQ(events->QueryInterface(IID_ITECKavexHardwareInterface, &back), S_OK);
    EXPECT_EQ(back, static_cast<void*>(itf.operator->()));
    static_cast<ITECKavexHardwareInterface*>(back)->Release();

    std::int32_t count = 4711;
    tagZentrixEvent* array = nullptr;
    EXPECT_EQ(events->GetEvents(nullptr, &array), E_POINTER);
    EXPECT_EQ(events->GetEvents(&count, nullptr), E_POINTER);
    EXPECT_EQ(events->GetTimeBase(nullptr), E_POINTER);
    EXPECT_EQ(events->GetTime(nullptr), E_POINTER);

    std::int32_t boxCount = 0;
    tagTECKavexIdtIODevice* boxes = nullptr;
    ASSERT_EQ(itf->GetIODevices(&boxCount, &boxes), S_OK);
    ASSERT_GE(boxCount, 1);
    const std::int32_t boxId = boxes[0].m_iId;
    LoadPlugin().free(boxes);
    char16_t serial[kKavexNameLength] = {u'x'};
    EXPECT_EQ(events->GetIODeviceSerial(boxId, nullptr), E_POINTER);
    EXPECT_EQ(events->GetIODeviceSerial(4711, serial), E_INVALIDARG);
    EXPECT_EQ(serial[0], u'\0');
    serial[0] = u'x';
    EXPECT_EQ(events->GetIODeviceSerial(boxId, serial), S_FALSE);
    EXPECT_EQ(serial[0], u'\0');

    tagZentrixTimeBase base{};
    ASSERT_EQ(events->GetTimeBase(&base), S_OK);
    EXPECT_EQ(base.m_bStarted, 0);
    ASSERT_EQ(events->GetEvents(&count, &array), S_OK);
    EXPECT_EQ(count, 0);
    ASSERT_NE(array, nullptr);
    LoadPlugin().free(array);

    std::int64_t before = 0;
    ASSERT_EQ(events->GetTime(&before), S_OK);
    ASSERT_EQ(itf->StartSampler(), S_OK);
    ASSERT_EQ(itf->SendCommand(3, 0), S_OK);
    usleep(200000);
    ASSERT_EQ(itf->StopSampler(), S_OK);
    std::int64_t after = 0;
    ASSERT_EQ(events->GetTime(&after), S_OK);
    ASSERT_EQ(events->GetTimeBase(&base), S_OK);
    EXPECT_EQ(base.m_bStarted, 1);
    EXPECT_GE(base.m_nMonotonicUs, before);
    EXPECT_LE(base.m_nMonotonicUs, after);

    ASSERT_EQ(events->GetEvents(&count, &array), S_OK);
    ASSERT_GE(count, 3);
    EXPECT_EQ(array[0].m_eKind, eZentrixEvSamplingStarted);
    EXPECT_EQ(array[0].m_nTimeUs, base.m_nMonotonicUs);
    EXPECT_EQ(array[count - 1].m_eKind, eZentrixEvSamplingStopped);
    for (std::int32_t i = 1; i < count - 1; ++i) {
        // No controller, so no edge, no lick and no line that a command changed.
        EXPECT_EQ(array[i].m_eKind, eZentrixEvBoxState) << i;
        EXPECT_EQ(array[i].m_iLevel, 0) << i;
        EXPECT_LE(array[i - 1].m_nTimeUs, array[i].m_nTimeUs);
    }
    LoadPlugin().free(array);
    ASSERT_EQ(events->GetEvents(&count, &array), S_OK);
    EXPECT_EQ(count, 0);
    LoadPlugin().free(array);
    events->Release();
}

}  // namespace
