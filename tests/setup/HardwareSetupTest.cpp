// The hardware setup's host operations and device bookkeeping on the placeholder box (no
// controller) and on recorded controllers.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <iterator>
#include <string>
#include <utility>

#include <memory>
#include <vector>

#include "iobox/IOBox.h"
#include "model/Catalog.h"
#include "model/Device.h"
#include "platform/IoWarriorBackend.h"
#include "setup/ConfigFile.h"
#include "setup/Controller.h"
#include "setup/HardwareSetup.h"
#include "support/BoundedChild.h"
#include "support/ChildProcess.h"
#include "support/LogFile.h"
#include "support/PinnedTiming.h"
#include "support/RecordingLibrary.h"
#include "support/SetupQueries.h"
#include "support/TempDir.h"

namespace {

using zentrix::NullIoWarriorLibrary;
using zentrix::VirtualClock;
using zentrix::testing::RecordingLibrary;
using zentrix::testing::TempRegistry;

std::unique_ptr<TCHiIobDevice> Device(const TCHiIobHardwareSetup& setup, std::int32_t type,
                                      std::int32_t id, std::int32_t position = -1) {
    return std::make_unique<TCHiIobDevice>(&setup, "device " + std::to_string(id), type, position,
                                           id);
}

using zentrix::testing::DeviceIds;

class PlaceholderSetupTest : public ::testing::Test {
protected:
    TempRegistry registry{""};
    VirtualClock clock;
    NullIoWarriorLibrary library;
    TCHiIobHardwareSetup setup{library, clock};
};

TEST_F(PlaceholderSetupTest, WithoutControllersThereIsOneUnconnectedPlaceholderBox) {
    std::vector<const TCHiIobIOBox*> boxes;
    setup.GetIODevices(boxes);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0]->GetId(), -1);
    EXPECT_EQ(boxes[0]->GetName(), "Tamsel IO box");
    EXPECT_FALSE(setup.IsIODeviceConnected(-1));
    EXPECT_FALSE(setup.IsIODeviceConnected(0));
}

TEST_F(PlaceholderSetupTest, DevicesAreRoutedAndListedInIdOrder) {
    EXPECT_TRUE(setup.AddDevice(-1, 5, Device(setup, eDeviceTypePelletDispenser, 7)));
    EXPECT_TRUE(setup.AddDevice(-1, 13, Device(setup, eDeviceTypeTopUnitStandard, 2, 1)));
    EXPECT_TRUE(setup.AddDevice(-1, 13, Device(setup, eDeviceTypeTopUnitCorvane, 3, 2)));
    // A single box takes entries saved for another box id.
    EXPECT_TRUE(setup.AddDevice(42, 15, Device(setup, eDeviceTypeLickometer, 0)));
    EXPECT_EQ(DeviceIds(setup), (std::vector<std::int32_t>{0, 2, 3, 7}));

    EXPECT_TRUE(setup.SendCommand(7, 0));
    EXPECT_TRUE(setup.SendCommand(7, 99));  // command ids are checked only when carried out
    EXPECT_FALSE(setup.SendCommand(8, 0));

    std::vector<const TCHiIobDevice*> onPort;
    setup.FindIOBox(-1)->GetDevicesOnPort(13, onPort);
    EXPECT_EQ(onPort.size(), 2u);
    EXPECT_EQ(setup.FindIOBox(-1)->GetPortOfDevice(7), 5);
    EXPECT_EQ(setup.FindIOBox(-1)->GetPortOfDevice(8), -1);
}

TEST_F(PlaceholderSetupTest, RefusedDevicesAreDroppedAndTheRestStays) {
    // Wrong port kind, missing port, duplicate id, unknown type.
    EXPECT_FALSE(setup.AddDevice(-1, 13, Device(setup, eDeviceTypePelletDispenser, 1)));
    EXPECT_FALSE(setup.AddDevice(-1, 26, Device(setup, eDeviceTypePelletDispenser, 1)));
    EXPECT_FALSE(setup.AddDevice(-1, 0, Device(setup, eDeviceTypePelletDispenser, 1)));
    EXPECT_TRUE(setup.AddDevice(-1, 5, Device(setup, eDeviceTypePelletDispenser, 1)));
    EXPECT_FALSE(setup.AddDevice(-1, 6, Device(setup, eDeviceTypeCustomHardware, 1)));
    EXPECT_FALSE(setup.AddDevice(-1, 6, Device(setup, 42, 2)));
    EXPECT_EQ(DeviceIds(setup), (std::vector<std::int32_t>{1}));
    EXPECT_EQ(setup.FindIOBox(-1)->GetPortOfDevice(1), 5);
}

TEST_F(PlaceholderSetupTest, NextDeviceIdFollowsTheLargestAndRunsOut) {
    EXPECT_EQ(setup.GetNextDeviceId(), 0);
    setup.AddDevice(-1, 1, Device(setup, eDeviceTypeCustomHardware, 0));
    setup.AddDevice(-1, 2, Device(setup, eDeviceTypeCustomHardware, 5));
    setup.AddDevice(-1, 3, Device(setup, eDeviceTypeCustomHardware, 7));
    EXPECT_EQ(setup.GetNextDeviceId(), 8);
    // A device without id gets the next one when a box takes it.
    EXPECT_TRUE(setup.AddDevice(-1, 4, Device(setup, eDeviceTypeCustomHardware, -1)));
    EXPECT_EQ(DeviceIds(setup), (std::vector<std::int32_t>{0, 5, 7, 8}));

    setup.AddDevice(-1, 5, Device(setup, eDeviceTypeCustomHardware, 0x7FFFFFFD));
    EXPECT_EQ(setup.GetNextDeviceId(), -1);
}

TEST_F(PlaceholderSetupTest, RemovingDevicesUpdatesRouting) {
    setup.AddDevice(-1, 1, Device(setup, eDeviceTypeCustomHardware, 3));
    setup.AddDevice(-1, 2, Device(setup, eDeviceTypeCustomHardware, 4));
    setup.RemoveDevice(3);
    setup.RemoveDevice(99);
    EXPECT_FALSE(setup.SendCommand(3, 0));
    EXPECT_TRUE(setup.SendCommand(4, 0));
    setup.RemoveAllDevices();
    EXPECT_TRUE(DeviceIds(setup).empty());
    EXPECT_FALSE(setup.SendCommand(4, 0));
}

TEST_F(PlaceholderSetupTest, QueriesOfTheCatalog) {
    std::vector<const TCHiIobCommand*> commands;
    setup.GetCommands(0, commands);
    EXPECT_EQ(commands.size(), 6u);
    // An unknown type leaves the caller's list as it was.
    setup.GetCommands(17, commands);
    EXPECT_EQ(commands.size(), 6u);
    std::vector<const TCHiIobSignal*> signals;
    setup.GetSignals(3, signals);
    EXPECT_EQ(signals.size(), 2u);
    std::vector<const TCHiIobDeviceType*> types;
    setup.GetDirectDeviceTypes(ePortKindSdi, types);
    ASSERT_EQ(types.size(), 1u);
    EXPECT_EQ(types[0]->GetId(), eDeviceTypeLickometer);
    setup.GetDeviceTypesOfConnector(eConnectorTypeTopUnitInterface, types);
    EXPECT_EQ(types.size(), 2u);
    EXPECT_EQ(setup.FindConnectorType("Top Unit Interface (KX-501)")->GetId(), 0);
    EXPECT_EQ(setup.ListIOBoxIds(), (std::vector<std::int32_t>{-1}));
}

TEST_F(PlaceholderSetupTest, SamplingWithoutHardwareDerivesIdleValues) {
    setup.AddDevice(-1, 1, Device(setup, eDeviceTypeCustomHardware, 1));
    setup.AddDevice(-1, 15, Device(setup, eDeviceTypeLickometer, 2));
    tagTECKavexIdtHiValue record{};
    setup.ReceiveSignal(1, 3, record);
    EXPECT_EQ(record.m_eType, eKavexIdtHiVtUndefined);

    setup.StartSampler();
    setup.StopSampler();
    // No controller: lines stay at their idle level, nothing is counted.
    setup.ReceiveSignal(1, 3, record);  // "Is input 1 High"
    EXPECT_EQ(record.m_eType, eKavexIdtHiVtBool);
    EXPECT_EQ(record.m_bValueBoolean, 1);
    setup.ReceiveSignal(1, 0, record);  // "Input 1 H->L count"
    EXPECT_EQ(record.m_lValueLongLong, 0);
    setup.ReceiveSignal(2, 1, record);
    EXPECT_EQ(record.m_eType, eKavexIdtHiVtDuration);
    EXPECT_EQ(record.m_nMicroSeconds, 0);

    // Unknown devices and signals leave the host's record alone.
    tagTECKavexIdtHiValue untouched{};
    untouched.m_eType = eKavexIdtHiVtDouble;
    untouched.m_dbValueDouble = 4.5;
    setup.ReceiveSignal(99, 0, untouched);
    setup.ReceiveSignal(1, 42, untouched);
    EXPECT_EQ(untouched.m_eType, eKavexIdtHiVtDouble);
    EXPECT_EQ(untouched.m_dbValueDouble, 4.5);
}

// Two controllers whose IO box ids read as nextId, then one less.
void TwoControllersCountingDown(RecordingLibrary& library, std::uint8_t& nextId) {
    library.controllers = 2;
    library.defaultRead = [&nextId](std::uint8_t* buffer, std::uint32_t length) {
        std::fill(buffer, buffer + length, std::uint8_t{0xFF});
        buffer[3] = nextId;
        nextId = static_cast<std::uint8_t>(nextId - 1);
        return length;
    };
}

TEST(HardwareSetupDiscovery, BoxesFollowTheControllersInEnumerationOrder) {
    TempRegistry registry("");
    VirtualClock clock;
    RecordingLibrary library(clock);
    std::uint8_t nextId = 4;
    TwoControllersCountingDown(library, nextId);
    TCHiIobHardwareSetup setup(library, clock);
    EXPECT_EQ(setup.ListIOBoxIds(), (std::vector<std::int32_t>{4, 3}));
    EXPECT_TRUE(setup.IsIODeviceConnected(4));
    EXPECT_TRUE(setup.IsIODeviceConnected(3));
    EXPECT_FALSE(setup.IsIODeviceConnected(-1));

    // Ids stay unique over all boxes: a device whose id the other box holds is refused.
    EXPECT_TRUE(setup.AddDevice(4, 1, Device(setup, eDeviceTypeCustomHardware, 1)));
    EXPECT_FALSE(setup.AddDevice(3, 1, Device(setup, eDeviceTypeCustomHardware, 1)));
    // With two boxes an unknown box id takes nothing.
    EXPECT_FALSE(setup.AddDevice(9, 2, Device(setup, eDeviceTypeCustomHardware, 2)));
    EXPECT_EQ(DeviceIds(setup), (std::vector<std::int32_t>{1}));
}

TEST(HardwareSetupDiscovery, TheComponentsSetupUsesTheProcessBackend) {
    TempRegistry registry("");
    TCHiIobHardwareSetup setup;
    EXPECT_EQ(&setup.GetIoWarriorLibrary(), &zentrix::ProcessIoWarriorLibrary());
    EXPECT_EQ(&setup.GetClock(), &zentrix::ProcessHardwareClock());
}

TEST(HardwareSetupDiscovery, ControllersOfAnotherProductGiveNoBox) {
    TempRegistry registry("");
    VirtualClock clock;
    RecordingLibrary library(clock);
    library.productId = 0x1500;
    TCHiIobHardwareSetup setup(library, clock);
    std::vector<const TCHiIobIOBox*> boxes;
    setup.GetIODevices(boxes);
    EXPECT_TRUE(boxes.empty());
    EXPECT_FALSE(setup.AddDevice(0, 1, Device(setup, eDeviceTypeCustomHardware, 1)));
    EXPECT_EQ(setup.GetNextDeviceId(), 0);
}

TEST(HardwareSetupDiscovery, TwoBoxesWithOneIdShareTheFirst) {
    TempRegistry registry("");
    VirtualClock clock;
    RecordingLibrary library(clock);
    library.controllers = 2;
    library.defaultRead = [](std::uint8_t* buffer, std::uint32_t length) {
        std::fill(buffer, buffer + length, std::uint8_t{0xFF});
        buffer[3] = 6;
        return length;
    };
    TCHiIobHardwareSetup setup(library, clock);
    EXPECT_EQ(setup.ListIOBoxIds(), (std::vector<std::int32_t>{6, 6}));
    std::vector<const TCHiIobIOBox*> boxes;
    setup.GetIODevices(boxes);
    EXPECT_TRUE(setup.AddDevice(6, 1, Device(setup, eDeviceTypeCustomHardware, 1)));
    EXPECT_EQ(boxes[0]->GetDeviceById(1) != nullptr, true);
    EXPECT_EQ(boxes[1]->GetDeviceById(1), nullptr);
}

TEST(HardwareSetupLoad, AMissingFileIsInfoAndADamagedOneAWarning) {
    TempRegistry registry("");
    VirtualClock clock;
    NullIoWarriorLibrary library;
    TCHiIobHardwareSetup setup(library, clock);
    zentrix::testing::TempDir directory;
    const zentrix::testing::LogFile log("info");

    setup.Load(directory.Path().string());
    EXPECT_EQ(log.Lines({"zentrix: info: config: ", "HardwareSetup.xml: not found"}).size(), 1u)
        << log.Text();

    directory.Write("HardwareSetup.xml", "<?xml version=\"1.0\"?>\n<boost_serialization");
    setup.Load(directory.Path().string());
    EXPECT_EQ(log.Lines({"zentrix: warning: config: ", "HardwareSetup.xml: damaged"}).size(), 1u)
        << log.Text();

    // A sound file says nothing.
    setup.Save(directory.Path().string());
    const std::string before = log.Text();
    setup.Load(directory.Path().string());
    EXPECT_EQ(log.Text(), before);
}

TEST(HardwareSetupLoad, AFifoOrADeviceLoadsNoDevicesAndNeverBlocks) {
    TempRegistry registry("");
    VirtualClock clock;
    NullIoWarriorLibrary library;
    TCHiIobHardwareSetup setup(library, clock);
    zentrix::testing::TempDir fifoDirectory;
    ASSERT_EQ(::mkfifo((fifoDirectory.Path() / "HardwareSetup.xml").c_str(), 0600), 0);
    zentrix::testing::TempDir zeroDirectory;
    std::filesystem::create_symlink("/dev/zero", zeroDirectory.Path() / "HardwareSetup.xml");
    const zentrix::testing::LogFile log("warning");

    for (const auto* directory : {&fifoDirectory, &zeroDirectory}) {
        SCOPED_TRACE(directory->Path());
        EXPECT_EQ(zentrix::testing::RunInBoundedChild([&] {
                      setup.AddDevice(-1, 1, Device(setup, eDeviceTypeCustomHardware, 1));
                      setup.Load(directory->Path().string());
                      return DeviceIds(setup).empty();
                  }),
                  true);
        EXPECT_EQ(log.Lines({"zentrix: warning: config: " + directory->Path().string() +
                             "/HardwareSetup.xml: damaged or unreadable (not a regular file); "
                             "keeping the 0 device(s) read before the damage"})
                      .size(),
                  1u)
            << log.Text();
    }
}

TCHiIobConfigDataPortDevice Entry(std::int32_t port, std::int32_t position, std::int32_t type,
                                  std::int32_t id, const std::string& name) {
    TCHiIobConfigDataPortDevice entry;
    entry.m_iPortId = port;
    entry.m_iConnectorPortId = position;
    entry.m_iDeviceTypeId = type;
    entry.m_iDeviceId = id;
    entry.m_strDeviceName = name;
    return entry;
}

TEST(HardwareSetupLoad, EveryDroppedDeviceIsLoggedWithWhereItWasAndWhy) {
    TempRegistry registry("");
    // The recording library has no expanders to read back, so auto would log its verdict too.
    const zentrix::testing::PinnedTiming timing("spec");
    VirtualClock clock;
    RecordingLibrary library(clock);
    std::uint8_t nextId = 4;
    TwoControllersCountingDown(library, nextId);
    TCHiIobHardwareSetup setup(library, clock);
    ASSERT_EQ(setup.ListIOBoxIds(), (std::vector<std::int32_t>{4, 3}));

    TCHiIobConfigData config;
    TCHiIobConfigDataIOBox first;
    first.m_iIOBoxId = 4;
    first.m_vecConfigDataPortDevice = {
        Entry(1, -1, eDeviceTypeCustomHardware, 1, "kept"),
        Entry(2, -1, 999, 2, "no such type"),
        Entry(26, -1, eDeviceTypeCustomHardware, 3, "no such port"),
        Entry(13, -1, eDeviceTypePelletDispenser, 4, "TTL device on SDI port"),
        Entry(3, -1, eDeviceTypeCustomHardware, 1, "same id in the box"),
        Entry(13, 0, eDeviceTypeTopUnitStandard, 5, "position 0"),
        Entry(4, -1, eDeviceTypeCustomHardware, 0x7FFFFFFD, "last id"),
        Entry(5, -1, eDeviceTypeCustomHardware, -1, "no id left"),
    };
    TCHiIobConfigDataIOBox unknown;
    unknown.m_iIOBoxId = 9;
    unknown.m_vecConfigDataPortDevice = {Entry(1, -1, eDeviceTypeCustomHardware, 6, "box 9")};
    TCHiIobConfigDataIOBox second;
    second.m_iIOBoxId = 3;
    second.m_vecConfigDataPortDevice = {
        Entry(1, -1, eDeviceTypeCustomHardware, 1, "same id in the other box")};
    config.m_vecConfigDataIOBox = {first, unknown, second};
    zentrix::testing::TempDir directory;
    const std::string path = (directory.Path() / "HardwareSetup.xml").string();
    ASSERT_TRUE(WriteConfigFile(path, "HardwareSetup", config));
    const zentrix::testing::LogFile log("warning");

    setup.Load(directory.Path().string());

    EXPECT_EQ(DeviceIds(setup), (std::vector<std::int32_t>{1, 0x7FFFFFFD}));
    const std::string prefix = "zentrix: warning: config: " + path + ": device ";
    EXPECT_EQ(log.Text(),
              prefix +
                  "\"no such type\" (id 2, type 999) on IO box 4, port 2 dropped: "
                  "no device type has that id\n" +
                  prefix +
                  "\"no such port\" (id 3, type 5) on IO box 4, port 26 dropped: "
                  "the IO box has no such port\n" +
                  prefix +
                  "\"TTL device on SDI port\" (id 4, type 2) on IO box 4, port 13 dropped: "
                  "the port's kind (TTL or SDI) does not fit the device type\n" +
                  prefix +
                  "\"same id in the box\" (id 1, type 5) on IO box 4, port 3 dropped: "
                  "another device already has that id\n" +
                  prefix +
                  "\"position 0\" (id 5, type 0) on IO box 4, port 13, connector position 0 "
                  "dropped: the device type has no such connector position\n" +
                  prefix +
                  "\"no id left\" (id -1, type 5) on IO box 4, port 5 dropped: "
                  "no device id is left\n" +
                  prefix +
                  "\"box 9\" (id 6, type 5) on IO box 9, port 1 dropped: "
                  "no IO box has that id\n" +
                  prefix +
                  "\"same id in the other box\" (id 1, type 5) on IO box 3, port 1 dropped: "
                  "another device already has that id\n");
}

TEST(HardwareSetupSave, AFailedSaveAnswersFalseSaysWhyAndKeepsTheOldFile) {
    TempRegistry registry("");
    VirtualClock clock;
    NullIoWarriorLibrary library;
    TCHiIobHardwareSetup setup(library, clock);
    ASSERT_TRUE(setup.AddDevice(-1, 1, Device(setup, eDeviceTypeCustomHardware, 1)));
    zentrix::testing::TempDir scratch;
    const auto plain = scratch.Write("plain", "previous");
    const auto occupied = scratch.Path() / "occupied";
    std::filesystem::create_directories(occupied / "HardwareSetup.xml");
    const auto full = scratch.Path() / "full";
    std::filesystem::create_directories(full);
    scratch.Write("full/HardwareSetup.xml", "previous");
    const zentrix::testing::LogFile log("warning");

    const std::vector<std::pair<std::filesystem::path, std::string>> refused = {
        {scratch.Path() / "missing", "No such file or directory"},
        {occupied, "Is a directory"},
        {plain, "Not a directory"},
    };
    for (const auto& [directory, reason] : refused) {
        SCOPED_TRACE(directory);
        EXPECT_FALSE(setup.Save(directory.string()));
        EXPECT_EQ(log.Lines({"zentrix: warning: config: " + directory.string() +
                             "/HardwareSetup.xml: not saved (" + reason +
                             "); the previous file, if any, is kept"})
                      .size(),
                  1u)
            << log.Text();
    }

    // A file size limit makes the write fail part way, as a full disk does; the long name makes
    // the file far larger than the log, which the limit binds too.
    ASSERT_TRUE(setup.AddDevice(-1, 2,
                                std::make_unique<TCHiIobDevice>(&setup, std::string(8192, 'n'),
                                                                eDeviceTypeCustomHardware, -1, 2)));
    EXPECT_EQ(zentrix::testing::RunInBoundedChild([&] {
                  ::signal(SIGXFSZ, SIG_IGN);
                  const rlimit limit{4096, 4096};
                  return ::setrlimit(RLIMIT_FSIZE, &limit) == 0 && !setup.Save(full.string());
              }),
              true);
    EXPECT_EQ(log.Lines({"config: ", "/full/HardwareSetup.xml: not saved (File too large)"}).size(),
              1u)
        << log.Text();
    EXPECT_EQ(zentrix::testing::ReadFile(full / "HardwareSetup.xml"), "previous");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(full),
                            std::filesystem::directory_iterator()),
              1);

    // A save that succeeds says nothing.
    const std::string before = log.Text();
    EXPECT_TRUE(setup.Save(full.string()));
    EXPECT_EQ(log.Text(), before);
    setup.RemoveAllDevices();
    setup.Load(full.string());
    EXPECT_EQ(DeviceIds(setup), (std::vector<std::int32_t>{1, 2}));
}

}  // namespace
