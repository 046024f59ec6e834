// Checks every cell of the catalog against the tables of supported hardware, so that no id, name,
// line, level, pulse, byte range, derivation, flag, value type or default can drift.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/Catalog.h"
#include "model/ConnectorType.h"
#include "model/DeviceType.h"
#include "support/TempDir.h"

namespace {

using zentrix::testing::TempRegistry;

// Device type | id | name | default | line | level | pulse (ms), in the order of addition.
const std::vector<std::string> kExpectedCommands = {
    "Top Unit (Standard) | 1 | White spot on | false | 1 | high | 0",
    "Top Unit (Standard) | 0 | White spot off | true | 1 | low | 0",
    "Top Unit (Standard) | 3 | Yellow light on | false | 2 | high | 0",
    "Top Unit (Standard) | 2 | Yellow light off | true | 2 | low | 0",
    "Top Unit (Standard) | 5 | Sound on | false | 3 | high | 0",
    "Top Unit (Standard) | 4 | Sound off | true | 3 | low | 0",
    "Top Unit (Corvane) | 1 | White spot on | false | 1 | high | 0",
    "Top Unit (Corvane) | 0 | White spot off | true | 1 | low | 0",
    "Top Unit (Corvane) | 3 | Yellow light on | false | 2 | high | 0",
    "Top Unit (Corvane) | 2 | Yellow light off | true | 2 | low | 0",
    "Top Unit (Corvane) | 5 | Sound on | false | 3 | high | 0",
    "Top Unit (Corvane) | 4 | Sound off | true | 3 | low | 0",
    "Top Unit (Corvane) | 7 | Vol-1 on | false | 4 | high | 0",
    "Top Unit (Corvane) | 6 | Vol-1 off | true | 4 | low | 0",
    "Top Unit (Corvane) | 9 | Vol-2 on | false | 5 | high | 0",
    "Top Unit (Corvane) | 8 | Vol-2 off | true | 5 | low | 0",
    "Top Unit (Corvane) | 11 | Fsel-1 on | false | 6 | high | 0",
    "Top Unit (Corvane) | 10 | Fsel-1 off | true | 6 | low | 0",
    "Top Unit (Corvane) | 13 | Fsel-2 on | false | 7 | high | 0",
    "Top Unit (Corvane) | 12 | Fsel-2 off | true | 7 | low | 0",
    "Pellet Dispenser (KX-502) | 0 | Drop pellet | false | 1 | high | 30",
    "TTL Port Tester (KX-504) | 1 | Light 1 on | false | 1 | high | 0",
    "TTL Port Tester (KX-504) | 0 | Light 1 off | true | 1 | low | 0",
    "TTL Port Tester (KX-504) | 3 | Light 2 on | false | 2 | high | 0",
    "TTL Port Tester (KX-504) | 2 | Light 2 off | true | 2 | low | 0",
    "Custom Hardware | 1 | Output 1 High | false | 1 | high | 0",
    "Custom Hardware | 0 | Output 1 Low | true | 1 | low | 0",
    "Custom Hardware | 3 | Output 2 High | false | 2 | high | 0",
    "Custom Hardware | 2 | Output 2 Low | true | 2 | low | 0",
};

// Device type | id | name | source | kind | line | bytes (length; first..last) | derivation |
// idle level | differential | value type | default, in the order of addition.
const std::vector<std::string> kExpectedSignals = {
    "Top Unit (Standard) | 0 | Is white spot on | output | line | 1 | 0; -1..-1 | 1 is high | high "
    "| false | 0 (bool) | boolean false",
    "Top Unit (Standard) | 1 | Is yellow light on | output | line | 2 | 0; -1..-1 | 1 is high | "
    "high | false | 0 (bool) | boolean false",
    "Top Unit (Standard) | 2 | Is sound on | output | line | 3 | 0; -1..-1 | 1 is high | high | "
    "false | 0 (bool) | boolean false",
    "Top Unit (Corvane) | 0 | Is white spot on | output | line | 1 | 0; -1..-1 | 1 is high | high "
    "| false | 0 (bool) | boolean false",
    "Top Unit (Corvane) | 1 | Is yellow light on | output | line | 2 | 0; -1..-1 | 1 is high | "
    "high | false | 0 (bool) | boolean false",
    "Top Unit (Corvane) | 2 | Is sound on | output | line | 3 | 0; -1..-1 | 1 is high | high | "
    "false | 0 (bool) | boolean false",
    "Top Unit (Corvane) | 3 | Is vol-1 on | output | line | 4 | 0; -1..-1 | 1 is high | high | "
    "false | 0 (bool) | boolean false",
    "Top Unit (Corvane) | 4 | Is vol-2 on | output | line | 5 | 0; -1..-1 | 1 is high | high | "
    "false | 0 (bool) | boolean false",
    "Top Unit (Corvane) | 5 | Is fsel-1 on | output | line | 6 | 0; -1..-1 | 1 is high | high | "
    "false | 0 (bool) | boolean false",
    "Top Unit (Corvane) | 6 | Is fsel-2 on | output | line | 7 | 0; -1..-1 | 1 is high | high | "
    "false | 0 (bool) | boolean false",
    "Pellet Dispenser (KX-502) | 0 | Number of drops | input | line | 1 | 0; -1..-1 | 3 falling "
    "count | low | true | 1 (64-bit) | 64-bit 0",
    "Pellet Dispenser (KX-502) | 1 | In error state | input | line | 2 | 0; -1..-1 | 0 is low | "
    "high | false | 0 (bool) | boolean false",
    "Lickometer (KX-503) | 0 | Number of licks | input | data | -1 | 4; 0..1 | -1 | high | true | "
    "1 (64-bit) | 64-bit 0",
    "Lickometer (KX-503) | 1 | Duration of licks | input | data | -1 | 4; 2..3 | -1 | high | true "
    "| 3 (duration) | 64-bit 0",
    "TTL Port Tester (KX-504) | 0 | Button 1 presses | input | line | 1 | 0; -1..-1 | 3 falling "
    "count | high | true | 1 (64-bit) | 64-bit 0",
    "TTL Port Tester (KX-504) | 2 | Is button 1 pressed | input | line | 1 | 0; -1..-1 | 0 is low "
    "| high | false | 0 (bool) | boolean false",
    "TTL Port Tester (KX-504) | 4 | Button 2 presses | input | line | 2 | 0; -1..-1 | 3 falling "
    "count | high | true | 1 (64-bit) | 64-bit 0",
    "TTL Port Tester (KX-504) | 6 | Is button 2 pressed | input | line | 2 | 0; -1..-1 | 0 is low "
    "| high | false | 0 (bool) | boolean false",
    "TTL Port Tester (KX-504) | 8 | Is light 1 on | output | line | 1 | 0; -1..-1 | 1 is high | "
    "high | false | 0 (bool) | boolean false",
    "TTL Port Tester (KX-504) | 9 | Is light 2 on | output | line | 2 | 0; -1..-1 | 1 is high | "
    "high | false | 0 (bool) | boolean false",
    "Custom Hardware | 1 | Input 1 L->H count | input | line | 1 | 0; -1..-1 | 2 rising count | "
    "high | true | 1 (64-bit) | 64-bit 0",
    "Custom Hardware | 0 | Input 1 H->L count | input | line | 1 | 0; -1..-1 | 3 falling count | "
    "high | true | 1 (64-bit) | 64-bit 0",
    "Custom Hardware | 3 | Is input 1 High | input | line | 1 | 0; -1..-1 | 1 is high | high | "
    "false | 0 (bool) | boolean true",
    "Custom Hardware | 2 | Is input 1 Low | input | line | 1 | 0; -1..-1 | 0 is low | high | false "
    "| 0 (bool) | boolean false",
    "Custom Hardware | 5 | Input 2 L->H count | input | line | 2 | 0; -1..-1 | 2 rising count | "
    "high | true | 1 (64-bit) | 64-bit 0",
    "Custom Hardware | 4 | Input 2 H->L count | input | line | 2 | 0; -1..-1 | 3 falling count | "
    "high | true | 1 (64-bit) | 64-bit 0",
    "Custom Hardware | 7 | Is input 2 High | input | line | 2 | 0; -1..-1 | 1 is high | high | "
    "false | 0 (bool) | boolean true",
    "Custom Hardware | 6 | Is input 2 Low | input | line | 2 | 0; -1..-1 | 0 is low | high | false "
    "| 0 (bool) | boolean false",
    "Custom Hardware | 8 | Is output 1 High | output | line | 1 | 0; -1..-1 | 1 is high | high | "
    "false | 0 (bool) | boolean false",
    "Custom Hardware | 9 | Is output 2 High | output | line | 2 | 0; -1..-1 | 1 is high | high | "
    "false | 0 (bool) | boolean false",
};

std::string Describe(const TCHiIobDeviceType& type, const TCHiIobCommand& command) {
    return type.GetName() + " | " + std::to_string(command.GetId()) + " | " + command.GetName() +
           " | " + (command.IsDefault() ? "true" : "false") + " | " +
           std::to_string(command.GetLine()) + " | " + (command.GetLevel() ? "high" : "low") +
           " | " + std::to_string(command.GetPulseDuration());
}

std::string DerivationText(std::int32_t derivation) {
    switch (derivation) {
        case 0:
            return "0 is low";
        case 1:
            return "1 is high";
        case 2:
            return "2 rising count";
        case 3:
            return "3 falling count";
        default:
            return std::to_string(derivation);
    }
}

std::string ValueTypeText(std::int32_t type) {
    switch (type) {
        case 0:
            return "0 (bool)";
        case 1:
            return "1 (64-bit)";
        case 3:
            return "3 (duration)";
        default:
            return std::to_string(type);
    }
}

// The default as the signal itself declares it, read back through the host record of a signal
// whose value type does not reinterpret it.
std::string DefaultText(const TCHiIobSignal& signal) {
    const tagTECKavexIdtHiValue record = signal.GetDefault();
    if (record.m_eType == eKavexIdtHiVtBool) {
        return record.m_bValueBoolean != 0 ? "boolean true" : "boolean false";
    }
    if (record.m_eType == eKavexIdtHiVtLongLong ||
        (record.m_eType == eKavexIdtHiVtDuration && record.m_nMicroSeconds == 0)) {
        return "64-bit " + std::to_string(record.m_eType == eKavexIdtHiVtLongLong
                                              ? record.m_lValueLongLong
                                              : record.m_nMicroSeconds);
    }
    return "other";
}

std::string Describe(const TCHiIobDeviceType& type, const TCHiIobSignal& signal) {
    return type.GetName() + " | " + std::to_string(signal.GetId()) + " | " + signal.GetName() +
           " | " + (signal.GetSource() == eSignalSourceInput ? "input" : "output") + " | " +
           (signal.GetKind() == eSignalKindLine ? "line" : "data") + " | " +
           std::to_string(signal.GetLine()) + " | " + std::to_string(signal.GetDataLength()) +
           "; " + std::to_string(signal.GetFirstByte()) + ".." +
           std::to_string(signal.GetLastByte()) + " | " + DerivationText(signal.GetDerivation()) +
           " | " + (signal.GetIdleLevel() ? "high" : "low") + " | " +
           (signal.IsDifferential() ? "true" : "false") + " | " +
           ValueTypeText(signal.GetValueType()) + " | " + DefaultText(signal);
}

class CatalogTest : public ::testing::Test {
protected:
    void Build() { BuildCatalog(connectorTypes, deviceTypes); }

    TCHiIobConnectorTypes connectorTypes;
    TCHiIobDeviceTypes deviceTypes;
};

TEST_F(CatalogTest, EveryCommandAndSignalCellMatches) {
    TempRegistry registry("");
    Build();
    std::vector<const TCHiIobDeviceType*> types;
    deviceTypes.GetAll(types);
    std::vector<std::string> commands;
    std::vector<std::string> signals;
    for (const TCHiIobDeviceType* type : types) {
        std::vector<const TCHiIobCommand*> typeCommands;
        type->GetCommands(typeCommands);
        for (const TCHiIobCommand* command : typeCommands) {
            commands.push_back(Describe(*type, *command));
        }
        std::vector<const TCHiIobSignal*> typeSignals;
        type->GetSignals(typeSignals);
        for (const TCHiIobSignal* signal : typeSignals) {
            EXPECT_TRUE(signal->HasDefault()) << signal->GetName();
            signals.push_back(Describe(*type, *signal));
        }
    }
    EXPECT_EQ(commands, kExpectedCommands);
    EXPECT_EQ(signals, kExpectedSignals);
    EXPECT_EQ(commands.size(), 29u);
    EXPECT_EQ(signals.size(), 30u);
}

TEST_F(CatalogTest, DeviceTypesAndConnectorType) {
    TempRegistry registry("");
    Build();
    struct Expected {
        std::int32_t id;
        const char* name;
        double maxFrequency;
        std::int32_t portKind;
        std::int32_t connectorTypeId;
    };
    const Expected expected[] = {
        {0, "Top Unit (Standard)", 0.0, 1, 0},        {1, "Top Unit (Corvane)", 0.0, 1, 0},
        {2, "Pellet Dispenser (KX-502)", 0.0, 0, -1}, {3, "Lickometer (KX-503)", 2.0, 1, -1},
        {4, "TTL Port Tester (KX-504)", 0.0, 0, -1},  {5, "Custom Hardware", 0.0, 0, -1},
    };
    std::vector<const TCHiIobDeviceType*> types;
    deviceTypes.GetAll(types);
    ASSERT_EQ(types.size(), std::size(expected));
    for (std::size_t i = 0; i < types.size(); ++i) {
        EXPECT_EQ(types[i]->GetId(), expected[i].id);
        EXPECT_EQ(types[i]->GetName(), expected[i].name);
        EXPECT_EQ(types[i]->GetMaxFrequency(), expected[i].maxFrequency);
        EXPECT_EQ(types[i]->GetPortKind(), expected[i].portKind);
        EXPECT_EQ(types[i]->GetConnectorTypeId(), expected[i].connectorTypeId);
    }

    std::vector<const TCHiIobConnectorType*> connectors;
    connectorTypes.GetAll(connectors);
    ASSERT_EQ(connectors.size(), 1u);
    EXPECT_EQ(connectors[0]->GetId(), 0);
    EXPECT_EQ(connectors[0]->GetName(), "Top Unit Interface (KX-501)");
    EXPECT_EQ(connectors[0]->GetPortKind(), 1);
    EXPECT_EQ(connectors[0]->GetPositions(), 4);
    EXPECT_EQ(connectors[0]->GetLinesPerPosition(), 7);

    // The connector is not a device type.
    EXPECT_EQ(deviceTypes.Find(6), nullptr);
    EXPECT_EQ(deviceTypes.FindByName("Top Unit Interface (KX-501)"), nullptr);
}

TEST_F(CatalogTest, HostSeesCommandsAndSignalsInOrderOfAddition) {
    TempRegistry registry("");
    Build();
    std::vector<const TCHiIobCommand*> commands;
    deviceTypes.Find(0)->GetCommands(commands);
    std::vector<std::int32_t> ids;
    for (const auto* command : commands) {
        ids.push_back(command->GetId());
    }
    EXPECT_EQ(ids, (std::vector<std::int32_t>{1, 0, 3, 2, 5, 4}));

    std::vector<const TCHiIobSignal*> signals;
    deviceTypes.Find(4)->GetSignals(signals);
    ids.clear();
    for (const auto* signal : signals) {
        ids.push_back(signal->GetId());
    }
    EXPECT_EQ(ids, (std::vector<std::int32_t>{0, 2, 4, 6, 8, 9}));
    EXPECT_EQ(deviceTypes.Find(4)->FindSignal(1), nullptr);

    const TCHiIobSignal* duration = deviceTypes.Find(3)->FindSignal(1);
    ASSERT_NE(duration, nullptr);
    const tagTECKavexIdtHiValue record = duration->GetDefault();
    EXPECT_EQ(record.m_eType, eKavexIdtHiVtDuration);
    EXPECT_EQ(record.m_nMicroSeconds, 0);
}

TEST_F(CatalogTest, DefaultCommandsSwitchEverythingOff) {
    TempRegistry registry("");
    Build();
    std::vector<const TCHiIobDeviceType*> types;
    deviceTypes.GetAll(types);
    for (const TCHiIobDeviceType* type : types) {
        std::vector<const TCHiIobCommand*> commands;
        type->GetCommands(commands);
        for (const TCHiIobCommand* command : commands) {
            EXPECT_EQ(command->IsDefault(), !command->GetLevel()) << command->GetName();
        }
    }
}

struct FrequencyCase {
    std::string registryContent;
    double expected;
};

class LickometerFrequencyTest : public ::testing::TestWithParam<FrequencyCase> {};

TEST_P(LickometerFrequencyTest, ComesFromTheRegistryAsUnsigned) {
    TempRegistry registry(GetParam().registryContent);
    TCHiIobConnectorTypes connectorTypes;
    TCHiIobDeviceTypes deviceTypes;
    BuildCatalog(connectorTypes, deviceTypes);
    EXPECT_EQ(deviceTypes.Find(3)->GetMaxFrequency(), GetParam().expected);
    for (std::int32_t id : {0, 1, 2, 4, 5}) {
        EXPECT_EQ(deviceTypes.Find(id)->GetMaxFrequency(), 0.0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Registry, LickometerFrequencyTest,
    ::testing::Values(FrequencyCase{"", 2.0},
                      FrequencyCase{TempRegistry::WithLickometerFrequency("dword:0000000a"), 10.0},
                      FrequencyCase{TempRegistry::WithLickometerFrequency("dword:ffffffff"),
                                    4294967295.0},
                      FrequencyCase{TempRegistry::WithLickometerFrequency("dword:00000000"), 0.0},
                      FrequencyCase{TempRegistry::WithLickometerFrequency("\"10\""), 2.0},
                      FrequencyCase{"\x01\x02garbage[\"", 2.0}));

}  // namespace
