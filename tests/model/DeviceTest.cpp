#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "model/Catalog.h"
#include "model/Device.h"
#include "model/DeviceType.h"
#include "platform/IoWarriorBackend.h"
#include "setup/HardwareSetup.h"
#include "support/TempDir.h"

namespace {

class DeviceTest : public ::testing::Test {
protected:
    std::unique_ptr<TCHiIobDevice> Make(std::int32_t type, std::int32_t position,
                                        std::int32_t id = -1) {
        return std::make_unique<TCHiIobDevice>(&setup, "device", type, position, id);
    }
    const TCHiIobSignal& Signal(std::int32_t type, std::int32_t id) {
        return *setup.GetDeviceType(type)->FindSignal(id);
    }
    const TCHiIobCommand& Command(std::int32_t type, std::int32_t id) {
        return *setup.GetDeviceType(type)->FindCommand(id);
    }

    zentrix::testing::TempRegistry registry{""};
    zentrix::VirtualClock clock;
    zentrix::NullIoWarriorLibrary library;
    TCHiIobHardwareSetup setup{library, clock};
};

TEST_F(DeviceTest, IdIsAssignedAtMostOnceAndNeverNegative) {
    auto withId = Make(eDeviceTypeCustomHardware, -1, 3);
    withId->SetDeviceId(5);
    EXPECT_EQ(withId->GetDeviceId(), 3);

    auto fresh = Make(eDeviceTypeCustomHardware, -1);
    fresh->SetDeviceId(-2);
    EXPECT_EQ(fresh->GetDeviceId(), -1);
    fresh->SetDeviceId(0);
    EXPECT_EQ(fresh->GetDeviceId(), 0);
    fresh->SetDeviceId(9);
    EXPECT_EQ(fresh->GetDeviceId(), 0);
}

TEST_F(DeviceTest, ConnectorPositionShiftsLinesBySevenPerPosition) {
    auto second = Make(eDeviceTypeTopUnitStandard, 2);
    EXPECT_EQ(second->GetCommandLine(Command(eDeviceTypeTopUnitStandard, 5)), 10);  // Sound on
    EXPECT_EQ(second->GetSignalLine(Signal(eDeviceTypeTopUnitStandard, 2)), 10);

    auto first = Make(eDeviceTypeTopUnitCorvane, 1);
    EXPECT_EQ(first->GetCommandLine(Command(eDeviceTypeTopUnitCorvane, 13)), 7);
    auto fourth = Make(eDeviceTypeTopUnitCorvane, 4);
    EXPECT_EQ(fourth->GetCommandLine(Command(eDeviceTypeTopUnitCorvane, 1)), 22);
    EXPECT_EQ(fourth->GetCommandLine(Command(eDeviceTypeTopUnitCorvane, 13)), 28);

    auto direct = Make(eDeviceTypePelletDispenser, -1);
    EXPECT_EQ(direct->GetCommandLine(Command(eDeviceTypePelletDispenser, 0)), 1);
    EXPECT_EQ(setup.GetConnectorType(0)->GetPositionOffset(1), 0);
}

TEST_F(DeviceTest, ValidityDependsOnConnectorPosition) {
    EXPECT_TRUE(Make(eDeviceTypePelletDispenser, -1)->IsValid());
    EXPECT_FALSE(Make(eDeviceTypePelletDispenser, 1)->IsValid());
    EXPECT_TRUE(Make(eDeviceTypeTopUnitStandard, 1)->IsValid());
    EXPECT_TRUE(Make(eDeviceTypeTopUnitStandard, 4)->IsValid());
    EXPECT_FALSE(Make(eDeviceTypeTopUnitStandard, 5)->IsValid());
    EXPECT_FALSE(Make(eDeviceTypeTopUnitStandard, 0)->IsValid());
    EXPECT_FALSE(Make(eDeviceTypeTopUnitStandard, -1)->IsValid());
    // A type the catalog does not know can never be placed.
    EXPECT_FALSE(Make(42, -1)->IsValid());
}

TEST_F(DeviceTest, LineSignalsDeriveLevelsAndEdgeCounts) {
    auto tester = Make(eDeviceTypeTtlPortTester, -1, 1);
    const TCHiIobSignal& presses = Signal(eDeviceTypeTtlPortTester, 0);
    const TCHiIobSignal& pressed = Signal(eDeviceTypeTtlPortTester, 2);
    TCHiIobValue value;
    for (int level : {1, 0, 0, 1, 0}) {
        value = TCHiIobValue();
        tester->DeriveLineSignal(presses, static_cast<std::uint8_t>(level), value);
    }
    EXPECT_EQ(value.GetType(), eKavexIdtHiVtLongLong);
    EXPECT_EQ(value.GetLongLong(), 2);

    value = TCHiIobValue();
    tester->DeriveLineSignal(pressed, 0, value);
    EXPECT_TRUE(value == TCHiIobValue(true));

    // Drops count falling edges from an idle low line: a first low sample is no drop.
    auto dispenser = Make(eDeviceTypePelletDispenser, -1, 2);
    const TCHiIobSignal& drops = Signal(eDeviceTypePelletDispenser, 0);
    for (int level : {0, 1, 0}) {
        value = TCHiIobValue();
        dispenser->DeriveLineSignal(drops, static_cast<std::uint8_t>(level), value);
    }
    EXPECT_EQ(value.GetLongLong(), 1);

    auto custom = Make(eDeviceTypeCustomHardware, -1, 3);
    value = TCHiIobValue();
    custom->DeriveLineSignal(Signal(eDeviceTypeCustomHardware, 1), 0, value);
    custom->DeriveLineSignal(Signal(eDeviceTypeCustomHardware, 1), 1, value);
    EXPECT_EQ(value.GetLongLong(), 1);

    tester->ResetSignalStates();
    value = TCHiIobValue();
    tester->DeriveLineSignal(presses, 1, value);
    EXPECT_EQ(value.GetLongLong(), 0);
}

TEST_F(DeviceTest, SignalsWithoutStateLeaveTheValueAlone) {
    auto lickometer = Make(eDeviceTypeLickometer, -1, 4);
    TCHiIobValue value;
    lickometer->DeriveLineSignal(Signal(eDeviceTypeLickometer, 0), 1, value);
    EXPECT_EQ(value.GetType(), eKavexIdtHiVtUndefined);

    auto tester = Make(eDeviceTypeTtlPortTester, -1, 5);
    TCHiIobValue untouched(2.5);
    tester->DeriveDataSignal(Signal(eDeviceTypeTtlPortTester, 0), {1, 2}, untouched);
    EXPECT_EQ(untouched.GetDouble(), 2.5);

    // A device of an unknown type keeps no state at all.
    auto unknown = Make(42, -1, 6);
    unknown->DeriveLineSignal(Signal(eDeviceTypeTtlPortTester, 0), 0, value);
    EXPECT_EQ(value.GetType(), eKavexIdtHiVtUndefined);
}

TEST_F(DeviceTest, LickometerBytesAccumulateInRadix255) {
    auto lickometer = Make(eDeviceTypeLickometer, -1, 7);
    const TCHiIobSignal& licks = Signal(eDeviceTypeLickometer, 0);
    const TCHiIobSignal& duration = Signal(eDeviceTypeLickometer, 1);
    TCHiIobValue value;
    lickometer->DeriveDataSignal(licks, {5, 1}, value);
    EXPECT_EQ(value.GetLongLong(), 260);
    lickometer->DeriveDataSignal(licks, {255, 255}, value);
    EXPECT_EQ(value.GetLongLong(), 260 + 65280);
    lickometer->DeriveDataSignal(licks, {0, 0}, value);
    EXPECT_EQ(value.GetLongLong(), 260 + 65280);

    lickometer->DeriveDataSignal(duration, {3, 0}, value);
    EXPECT_EQ(value.GetLongLong(), 30000);

    lickometer->ClearSignalValueHandlers();
    lickometer->DeriveDataSignal(licks, {2, 0}, value);
    EXPECT_EQ(value.GetLongLong(), 2);
}

TEST(Devices, CollectionKeepsTheFirstDeviceOfAnId) {
    zentrix::testing::TempRegistry registry("");
    zentrix::VirtualClock clock;
    zentrix::NullIoWarriorLibrary library;
    TCHiIobHardwareSetup setup(library, clock);
    TCHiIobDevices devices;
    EXPECT_TRUE(devices.Add(std::make_unique<TCHiIobDevice>(&setup, "first", 5, -1, 3)));
    EXPECT_FALSE(devices.Add(std::make_unique<TCHiIobDevice>(&setup, "second", 5, -1, 3)));
    EXPECT_TRUE(devices.Add(std::make_unique<TCHiIobDevice>(&setup, "zero", 2, -1, 0)));
    EXPECT_EQ(devices.Find(3)->GetDeviceName(), "first");

    std::vector<TCHiIobDevice*> all;
    devices.GetAll(all);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0]->GetDeviceId(), 0);
    devices.Remove(0);
    devices.Remove(99);
    devices.GetAll(all);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(devices.Find(0), nullptr);
}

}  // namespace
