// The fixed catalog of supported hardware: one connector type and six device types with their
// commands and signals. The ids are the host's vocabulary and are stored in configuration files.
#ifndef ZENTRIX_MODEL_CATALOG_H
#define ZENTRIX_MODEL_CATALOG_H

#include <cstdint>

class TCHiIobConnectorTypes;
class TCHiIobDeviceTypes;

enum : std::int32_t {
    eConnectorTypeTopUnitInterface = 0,
};

enum : std::int32_t {
    eDeviceTypeTopUnitStandard = 0,
    eDeviceTypeTopUnitCorvane = 1,
    eDeviceTypePelletDispenser = 2,
    eDeviceTypeLickometer = 3,
    eDeviceTypeTtlPortTester = 4,
    eDeviceTypeCustomHardware = 5,
};

// Where the lickometer's maximum frequency is kept in the per-user registry.
inline constexpr const char* kZentrixRegistryKey =
    "Software\\Tamsel Information Technology\\Common\\Zentrix";
inline constexpr const char* kLickometerFrequencyValue = "LickometerFrequency";
inline constexpr std::uint32_t kDefaultLickometerFrequency = 2;

// Reads the lickometer frequency from the registry and builds the catalog into the two
// collections.
void BuildCatalog(TCHiIobConnectorTypes& connectorTypes, TCHiIobDeviceTypes& deviceTypes);

#endif
