#include "model/Catalog.h"

#include <iterator>
#include <memory>
#include <span>

#include "model/ConnectorType.h"
#include "model/DeviceType.h"
#include "platform/Registry.h"

namespace {

struct CommandRow {
    std::int32_t id;
    const char* name;
    bool isDefault;
    std::int32_t line;
    bool level;
    std::int32_t pulseMs;
};

enum DefaultValue { kDefaultFalse, kDefaultTrue, kDefaultZero };

struct SignalRow {
    std::int32_t id;
    const char* name;
    std::int32_t source;
    std::int32_t kind;
    std::int32_t line;
    std::int32_t dataLength;
    std::int32_t firstByte;
    std::int32_t lastByte;
    std::int32_t derivation;
    bool idleLevel;
    bool differential;
    std::int32_t valueType;
    DefaultValue defaultValue;
};

constexpr CommandRow kCommandsTopUnitStandard[] = {
    {1, "White spot on", false, 1, true, 0},   {0, "White spot off", true, 1, false, 0},
    {3, "Yellow light on", false, 2, true, 0}, {2, "Yellow light off", true, 2, false, 0},
    {5, "Sound on", false, 3, true, 0},        {4, "Sound off", true, 3, false, 0},
};

constexpr CommandRow kCommandsTopUnitCorvane[] = {
    {1, "White spot on", false, 1, true, 0},   {0, "White spot off", true, 1, false, 0},
    {3, "Yellow light on", false, 2, true, 0}, {2, "Yellow light off", true, 2, false, 0},
    {5, "Sound on", false, 3, true, 0},        {4, "Sound off", true, 3, false, 0},
    {7, "Vol-1 on", false, 4, true, 0},        {6, "Vol-1 off", true, 4, false, 0},
    {9, "Vol-2 on", false, 5, true, 0},        {8, "Vol-2 off", true, 5, false, 0},
    {11, "Fsel-1 on", false, 6, true, 0},      {10, "Fsel-1 off", true, 6, false, 0},
    {13, "Fsel-2 on", false, 7, true, 0},      {12, "Fsel-2 off", true, 7, false, 0},
};

constexpr CommandRow kCommandsPelletDispenser[] = {
    {0, "Drop pellet", false, 1, true, 30},
};

constexpr CommandRow kCommandsTtlPortTester[] = {
    {1, "Light 1 on", false, 1, true, 0},
    {0, "Light 1 off", true, 1, false, 0},
    {3, "Light 2 on", false, 2, true, 0},
    {2, "Light 2 off", true, 2, false, 0},
};

constexpr CommandRow kCommandsCustomHardware[] = {
    {1, "Output 1 High", false, 1, true, 0},
    {0, "Output 1 Low", true, 1, false, 0},
    {3, "Output 2 High", false, 2, true, 0},
    {2, "Output 2 Low", true, 2, false, 0},
};

constexpr SignalRow kSignalsTopUnitStandard[] = {
    {0, "Is white spot on", eSignalSourceOutput, eSignalKindLine, 1, 0, -1, -1, eDerivationIsHigh,
     true, false, eKavexIdtHiVtBool, kDefaultFalse},
    {1, "Is yellow light on", eSignalSourceOutput, eSignalKindLine, 2, 0, -1, -1, eDerivationIsHigh,
     true, false, eKavexIdtHiVtBool, kDefaultFalse},
    {2, "Is sound on", eSignalSourceOutput, eSignalKindLine, 3, 0, -1, -1, eDerivationIsHigh, true,
     false, eKavexIdtHiVtBool, kDefaultFalse},
};

constexpr SignalRow kSignalsTopUnitCorvane[] = {
    {0, "Is white spot on", eSignalSourceOutput, eSignalKindLine, 1, 0, -1, -1, eDerivationIsHigh,
     true, false, eKavexIdtHiVtBool, kDefaultFalse},
    {1, "Is yellow light on", eSignalSourceOutput, eSignalKindLine, 2, 0, -1, -1, eDerivationIsHigh,
     true, false, eKavexIdtHiVtBool, kDefaultFalse},
    {2, "Is sound on", eSignalSourceOutput, eSignalKindLine, 3, 0, -1, -1, eDerivationIsHigh, true,
     false, eKavexIdtHiVtBool, kDefaultFalse},
    {3, "Is vol-1 on", eSignalSourceOutput, eSignalKindLine, 4, 0, -1, -1, eDerivationIsHigh, true,
     false, eKavexIdtHiVtBool, kDefaultFalse},
    {4, "Is vol-2 on", eSignalSourceOutput, eSignalKindLine, 5, 0, -1, -1, eDerivationIsHigh, true,
     false, eKavexIdtHiVtBool, kDefaultFalse},
    {5, "Is fsel-1 on", eSignalSourceOutput, eSignalKindLine, 6, 0, -1, -1, eDerivationIsHigh, true,
     false, eKavexIdtHiVtBool, kDefaultFalse},
    {6, "Is fsel-2 on", eSignalSourceOutput, eSignalKindLine, 7, 0, -1, -1, eDerivationIsHigh, true,
     false, eKavexIdtHiVtBool, kDefaultFalse},
};

constexpr SignalRow kSignalsPelletDispenser[] = {
    {0, "Number of drops", eSignalSourceInput, eSignalKindLine, 1, 0, -1, -1,
     eDerivationFallingCount, false, true, eKavexIdtHiVtLongLong, kDefaultZero},
    {1, "In error state", eSignalSourceInput, eSignalKindLine, 2, 0, -1, -1, eDerivationIsLow, true,
     false, eKavexIdtHiVtBool, kDefaultFalse},
};

constexpr SignalRow kSignalsLickometer[] = {
    {0, "Number of licks", eSignalSourceInput, eSignalKindData, -1, 4, 0, 1, -1, true, true,
     eKavexIdtHiVtLongLong, kDefaultZero},
    {1, "Duration of licks", eSignalSourceInput, eSignalKindData, -1, 4, 2, 3, -1, true, true,
     eKavexIdtHiVtDuration, kDefaultZero},
};

constexpr SignalRow kSignalsTtlPortTester[] = {
    {0, "Button 1 presses", eSignalSourceInput, eSignalKindLine, 1, 0, -1, -1,
     eDerivationFallingCount, true, true, eKavexIdtHiVtLongLong, kDefaultZero},
    {2, "Is button 1 pressed", eSignalSourceInput, eSignalKindLine, 1, 0, -1, -1, eDerivationIsLow,
     true, false, eKavexIdtHiVtBool, kDefaultFalse},
    {4, "Button 2 presses", eSignalSourceInput, eSignalKindLine, 2, 0, -1, -1,
     eDerivationFallingCount, true, true, eKavexIdtHiVtLongLong, kDefaultZero},
    {6, "Is button 2 pressed", eSignalSourceInput, eSignalKindLine, 2, 0, -1, -1, eDerivationIsLow,
     true, false, eKavexIdtHiVtBool, kDefaultFalse},
    {8, "Is light 1 on", eSignalSourceOutput, eSignalKindLine, 1, 0, -1, -1, eDerivationIsHigh,
     true, false, eKavexIdtHiVtBool, kDefaultFalse},
    {9, "Is light 2 on", eSignalSourceOutput, eSignalKindLine, 2, 0, -1, -1, eDerivationIsHigh,
     true, false, eKavexIdtHiVtBool, kDefaultFalse},
};

constexpr SignalRow kSignalsCustomHardware[] = {
    {1, "Input 1 L->H count", eSignalSourceInput, eSignalKindLine, 1, 0, -1, -1,
     eDerivationRisingCount, true, true, eKavexIdtHiVtLongLong, kDefaultZero},
    {0, "Input 1 H->L count", eSignalSourceInput, eSignalKindLine, 1, 0, -1, -1,
     eDerivationFallingCount, true, true, eKavexIdtHiVtLongLong, kDefaultZero},
    {3, "Is input 1 High", eSignalSourceInput, eSignalKindLine, 1, 0, -1, -1, eDerivationIsHigh,
     true, false, eKavexIdtHiVtBool, kDefaultTrue},
    {2, "Is input 1 Low", eSignalSourceInput, eSignalKindLine, 1, 0, -1, -1, eDerivationIsLow, true,
     false, eKavexIdtHiVtBool, kDefaultFalse},
    {5, "Input 2 L->H count", eSignalSourceInput, eSignalKindLine, 2, 0, -1, -1,
     eDerivationRisingCount, true, true, eKavexIdtHiVtLongLong, kDefaultZero},
    {4, "Input 2 H->L count", eSignalSourceInput, eSignalKindLine, 2, 0, -1, -1,
     eDerivationFallingCount, true, true, eKavexIdtHiVtLongLong, kDefaultZero},
    {7, "Is input 2 High", eSignalSourceInput, eSignalKindLine, 2, 0, -1, -1, eDerivationIsHigh,
     true, false, eKavexIdtHiVtBool, kDefaultTrue},
    {6, "Is input 2 Low", eSignalSourceInput, eSignalKindLine, 2, 0, -1, -1, eDerivationIsLow, true,
     false, eKavexIdtHiVtBool, kDefaultFalse},
    {8, "Is output 1 High", eSignalSourceOutput, eSignalKindLine, 1, 0, -1, -1, eDerivationIsHigh,
     true, false, eKavexIdtHiVtBool, kDefaultFalse},
    {9, "Is output 2 High", eSignalSourceOutput, eSignalKindLine, 2, 0, -1, -1, eDerivationIsHigh,
     true, false, eKavexIdtHiVtBool, kDefaultFalse},
};
struct DeviceTypeRow {
    std::int32_t id;
    const char* name;
    std::int32_t portKind;
    std::int32_t connectorTypeId;
    std::span<const CommandRow> commands;
    std::span<const SignalRow> signals;
};

TCHiIobValue MakeDefault(DefaultValue value) {
    switch (value) {
        case kDefaultTrue:
            return TCHiIobValue(true);
        case kDefaultZero:
            return TCHiIobValue(std::int64_t{0});
        case kDefaultFalse:
            break;
    }
    return TCHiIobValue(false);
}

}  // namespace

void BuildCatalog(TCHiIobConnectorTypes& connectorTypes, TCHiIobDeviceTypes& deviceTypes) {
    connectorTypes.Add(std::make_unique<TCHiIobConnectorType>(
        eConnectorTypeTopUnitInterface, "Top Unit Interface (KX-501)", ePortKindSdi, 4, 7));

    // The stored DWORD is unsigned: 0xFFFFFFFF is 4294967295 Hz, not -1.
    const double lickometerFrequency = static_cast<double>(
        zentrix::ReadRegistryNumber(zentrix::RegistryRoot::CurrentUser, kZentrixRegistryKey,
                                    kLickometerFrequencyValue, kDefaultLickometerFrequency));

    const DeviceTypeRow rows[] = {
        {eDeviceTypeTopUnitStandard, "Top Unit (Standard)", ePortKindSdi,
         eConnectorTypeTopUnitInterface, kCommandsTopUnitStandard, kSignalsTopUnitStandard},
        {eDeviceTypeTopUnitCorvane, "Top Unit (Corvane)", ePortKindSdi,
         eConnectorTypeTopUnitInterface, kCommandsTopUnitCorvane, kSignalsTopUnitCorvane},
        {eDeviceTypePelletDispenser, "Pellet Dispenser (KX-502)", ePortKindTtl, -1,
         kCommandsPelletDispenser, kSignalsPelletDispenser},
        {eDeviceTypeLickometer, "Lickometer (KX-503)", ePortKindSdi, -1, {}, kSignalsLickometer},
        {eDeviceTypeTtlPortTester, "TTL Port Tester (KX-504)", ePortKindTtl, -1,
         kCommandsTtlPortTester, kSignalsTtlPortTester},
        {eDeviceTypeCustomHardware, "Custom Hardware", ePortKindTtl, -1, kCommandsCustomHardware,
         kSignalsCustomHardware},
    };

    TCHiIobSignalData data;
    for (const DeviceTypeRow& row : rows) {
        const double maxFrequency = row.id == eDeviceTypeLickometer ? lickometerFrequency : 0.0;
        auto type = std::make_unique<TCHiIobDeviceType>(row.id, row.name, maxFrequency,
                                                        row.portKind, row.connectorTypeId);
        for (const CommandRow& command : row.commands) {
            type->AddCommand(std::make_unique<TCHiIobCommand>(command.id, command.name,
                                                              command.isDefault, command.line,
                                                              command.level, command.pulseMs));
        }
        for (const SignalRow& signal : row.signals) {
            data.m_iId = signal.id;
            data.m_strName = signal.name;
            data.m_iSource = signal.source;
            data.m_iKind = signal.kind;
            data.m_iLine = signal.line;
            data.m_iDataLength = signal.dataLength;
            data.m_iFirstByte = signal.firstByte;
            data.m_iLastByte = signal.lastByte;
            data.m_iDerivation = signal.derivation;
            data.m_bIdleLevel = signal.idleLevel;
            data.m_bDifferential = signal.differential;
            data.m_eValueType = signal.valueType;
            data.m_bHasValDefault = true;
            data.m_valDefault = MakeDefault(signal.defaultValue);
            type->AddSignal(std::make_unique<TCHiIobSignal>(data));
        }
        deviceTypes.Add(std::move(type));
    }
}
