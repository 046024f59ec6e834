// Devices whose connector position does not fit their type, and devices for which no id is left,
// are refused wherever devices enter the setup; the line arithmetic stays defined for any input.
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <vector>

#include "iobox/IOBox.h"
#include "model/Catalog.h"
#include "model/ConnectorType.h"
#include "model/Device.h"
#include "model/DeviceType.h"
#include "platform/IoWarriorBackend.h"
#include "setup/ConfigFile.h"
#include "setup/HardwareSetup.h"
#include "simulator/SimulatedBench.h"
#include "support/SetupQueries.h"
#include "support/TempDir.h"

namespace {

using zentrix::sim::BenchConfig;
using zentrix::sim::BoxConfig;
using zentrix::sim::SdiBoard;
using zentrix::sim::TtlDevice;

constexpr std::int32_t kIntMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kIntMin = std::numeric_limits<std::int32_t>::min();

using zentrix::testing::DeviceIds;

TCHiIobConfigDataPortDevice Entry(std::int32_t port, std::int32_t position, std::int32_t type,
                                  std::int32_t id) {
    TCHiIobConfigDataPortDevice entry;
    entry.m_iPortId = port;
    entry.m_iConnectorPortId = position;
    entry.m_iDeviceTypeId = type;
    entry.m_iDeviceId = id;
    entry.m_strDeviceName = "device " + std::to_string(id);
    return entry;
}

TEST(DeviceValidation, LoadRefusesImpossibleConnectorPositionsAndAppliesTheRest) {
    zentrix::testing::TempRegistry registry("");
    zentrix::testing::TempDir directory;
    zentrix::VirtualClock clock;
    BoxConfig box;
    box.sdiBoards = {{1, SdiBoard::TopUnitInterface}};
    box.ttlDevices = {{5, TtlDevice::PelletDispenser}};
    BenchConfig bench;
    bench.boxes.push_back(box);
    zentrix::sim::SimulatedBench simulated(bench, clock);
    TCHiIobHardwareSetup setup(simulated, clock);

    TCHiIobConfigDataIOBox boxEntry;
    boxEntry.m_iIOBoxId = 0;
    boxEntry.m_vecConfigDataPortDevice = {
        Entry(13, 2, eDeviceTypeTopUnitStandard, 1),
        Entry(13, 0, eDeviceTypeTopUnitStandard, 2),
        Entry(13, 5, eDeviceTypeTopUnitStandard, 3),
        // Position 6 would drive lines 36..42 of a port with 28.
        Entry(13, 6, eDeviceTypeTopUnitCorvane, 4),
        Entry(13, -1, eDeviceTypeTopUnitStandard, 5),
        Entry(13, -7, eDeviceTypeTopUnitCorvane, 6),
        Entry(13, kIntMax, eDeviceTypeTopUnitStandard, 7),
        Entry(13, kIntMin, eDeviceTypeTopUnitCorvane, 8),
        // A device plugged straight into its port has no position.
        Entry(5, 1, eDeviceTypePelletDispenser, 9),
        Entry(5, -1, eDeviceTypePelletDispenser, 10),
    };
    TCHiIobConfigData config;
    config.m_vecConfigDataIOBox.push_back(boxEntry);
    ASSERT_TRUE(WriteConfigFile((directory.Path() / "HardwareSetup.xml").string(), "HardwareSetup",
                                config));

    setup.Load(directory.Path().string());
    EXPECT_EQ(DeviceIds(setup), (std::vector<std::int32_t>{1, 10}));

    setup.BeginSampling();
    ASSERT_TRUE(setup.SendCommand(1, 1));  // White spot on, position 2: line 8
    for (int period = 0; period < 5; ++period) {
        setup.SampleInputs(true);
        setup.SampleOutputs(true);
        clock.SleepMs(2);
    }
    for (int line = 1; line <= 28; ++line) {
        EXPECT_EQ(simulated.Box(0).OutputLevel(13, line), line == 8) << "line " << line;
    }
    setup.EndSampling();
    EXPECT_TRUE(setup.IsIODeviceConnected(0));
    for (const auto& error : simulated.ProtocolErrors()) {
        ADD_FAILURE() << error.timeMs << " ms: " << error.text;
    }
}

class PlaceholderValidationTest : public ::testing::Test {
protected:
    std::unique_ptr<TCHiIobDevice> Device(std::int32_t type, std::int32_t position,
                                          std::int32_t id) {
        return std::make_unique<TCHiIobDevice>(&setup, "device", type, position, id);
    }

    zentrix::testing::TempRegistry registry{""};
    zentrix::VirtualClock clock;
    zentrix::NullIoWarriorLibrary library;
    TCHiIobHardwareSetup setup{library, clock};
};

TEST_F(PlaceholderValidationTest, ImpossiblePositionsAreRefusedWhereverDevicesAreAdded) {
    EXPECT_FALSE(setup.AddDevice(-1, 13, Device(eDeviceTypeTopUnitStandard, 5, 1)));
    EXPECT_FALSE(setup.AddDevice(-1, 13, Device(eDeviceTypeTopUnitStandard, -1, -1)));
    EXPECT_FALSE(setup.AddDevice(-1, 5, Device(eDeviceTypePelletDispenser, 2, 2)));
    TCHiIobIOBox& box = *setup.FindIOBox(-1);
    EXPECT_FALSE(box.AddDevice(13, Device(eDeviceTypeTopUnitCorvane, 0, 3)));
    EXPECT_FALSE(box.AddDevice(13, Device(eDeviceTypeTopUnitCorvane, kIntMin, -1)));
    EXPECT_TRUE(DeviceIds(setup).empty());

    EXPECT_TRUE(setup.AddDevice(-1, 13, Device(eDeviceTypeTopUnitStandard, 4, 4)));
    EXPECT_TRUE(box.AddDevice(13, Device(eDeviceTypeTopUnitCorvane, 1, 5)));
    EXPECT_EQ(DeviceIds(setup), (std::vector<std::int32_t>{4, 5}));
}

TEST_F(PlaceholderValidationTest, ANewDeviceIsRefusedOnceTheIdsRunOut) {
    ASSERT_TRUE(setup.AddDevice(-1, 1, Device(eDeviceTypeCustomHardware, -1, 0x7FFFFFFD)));
    ASSERT_EQ(setup.GetNextDeviceId(), -1);
    EXPECT_FALSE(setup.AddDevice(-1, 2, Device(eDeviceTypeCustomHardware, -1, -1)));
    EXPECT_FALSE(setup.FindIOBox(-1)->AddDevice(3, Device(eDeviceTypeCustomHardware, -1, -1)));
    EXPECT_EQ(DeviceIds(setup), (std::vector<std::int32_t>{0x7FFFFFFD}));
    EXPECT_EQ(setup.FindIOBox(-1)->GetDeviceById(-1), nullptr);
    // A device that brings its own id is still taken.
    EXPECT_TRUE(setup.AddDevice(-1, 4, Device(eDeviceTypeCustomHardware, -1, 17)));
}

TEST_F(PlaceholderValidationTest, LineArithmeticStaysDefinedForAnyPosition) {
    const TCHiIobDeviceType& topUnit = *setup.GetDeviceType(eDeviceTypeTopUnitCorvane);
    std::vector<const TCHiIobCommand*> commands;
    topUnit.GetCommands(commands);
    ASSERT_FALSE(commands.empty());
    for (const std::int32_t position : {0, 5, 6, -7, kIntMax, kIntMin}) {
        const auto device = Device(eDeviceTypeTopUnitCorvane, position, 1);
        EXPECT_FALSE(device->IsValid()) << position;
        for (const TCHiIobCommand* command : commands) {
            EXPECT_EQ(device->GetCommandLine(*command), TCHiIobDevice::kNoLine) << position;
        }
    }
    const TCHiIobConnectorType& connector = *setup.GetConnectorType(eConnectorTypeTopUnitInterface);
    EXPECT_EQ(connector.GetPositionOffset(4), 21);
    EXPECT_EQ(connector.GetPositionOffset(kIntMax), kIntMax);
    EXPECT_EQ(connector.GetPositionOffset(kIntMin), kIntMin);
}

}  // namespace
