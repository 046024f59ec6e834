// The plug-in's central object: owns the catalog and answers the host's queries about it.
// Called on the host's thread; the catalog never changes after construction, so lookups take no
// lock.
#ifndef ZENTRIX_SETUP_HARDWARESETUP_H
#define ZENTRIX_SETUP_HARDWARESETUP_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "model/ConnectorType.h"
#include "model/DeviceType.h"

class TCHiIobHardwareSetup {
public:
    TCHiIobHardwareSetup();
    virtual ~TCHiIobHardwareSetup();
    TCHiIobHardwareSetup(const TCHiIobHardwareSetup&) = delete;
    TCHiIobHardwareSetup& operator=(const TCHiIobHardwareSetup&) = delete;

    void GetDeviceTypes(std::vector<const TCHiIobDeviceType*>& types) const;
    // An unknown type id leaves the caller's list as it was.
    void GetCommands(std::int32_t deviceTypeId, std::vector<const TCHiIobCommand*>& commands) const;
    void GetSignals(std::int32_t deviceTypeId, std::vector<const TCHiIobSignal*>& signals) const;

    const TCHiIobDeviceType* GetDeviceType(std::int32_t id) const;
    const TCHiIobDeviceType* FindDeviceType(const std::string& name) const;
    void GetDeviceTypesOfConnector(std::int32_t connectorTypeId,
                                   std::vector<const TCHiIobDeviceType*>& types) const;
    void GetDirectDeviceTypes(std::int32_t portKind,
                              std::vector<const TCHiIobDeviceType*>& types) const;
    const TCHiIobConnectorType* GetConnectorType(std::int32_t id) const;
    const TCHiIobConnectorType* FindConnectorType(const std::string& name) const;
    void GetConnectorTypesOfPortKind(std::int32_t portKind,
                                     std::vector<const TCHiIobConnectorType*>& types) const;

private:
    std::unique_ptr<TCHiIobConnectorTypes> m_pConnectorTypes;
    std::unique_ptr<TCHiIobDeviceTypes> m_pDeviceTypes;
};

#endif
