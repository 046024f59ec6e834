#include "setup/HardwareSetup.h"

#include "model/Catalog.h"

TCHiIobHardwareSetup::TCHiIobHardwareSetup()
    : m_pConnectorTypes(std::make_unique<TCHiIobConnectorTypes>()),
      m_pDeviceTypes(std::make_unique<TCHiIobDeviceTypes>()) {
    BuildCatalog(*m_pConnectorTypes, *m_pDeviceTypes);
}

TCHiIobHardwareSetup::~TCHiIobHardwareSetup() = default;

void TCHiIobHardwareSetup::GetDeviceTypes(std::vector<const TCHiIobDeviceType*>& types) const {
    m_pDeviceTypes->GetAll(types);
}

void TCHiIobHardwareSetup::GetCommands(std::int32_t deviceTypeId,
                                       std::vector<const TCHiIobCommand*>& commands) const {
    if (const TCHiIobDeviceType* type = m_pDeviceTypes->Find(deviceTypeId)) {
        type->GetCommands(commands);
    }
}

void TCHiIobHardwareSetup::GetSignals(std::int32_t deviceTypeId,
                                      std::vector<const TCHiIobSignal*>& signals) const {
    if (const TCHiIobDeviceType* type = m_pDeviceTypes->Find(deviceTypeId)) {
        type->GetSignals(signals);
    }
}

const TCHiIobDeviceType* TCHiIobHardwareSetup::GetDeviceType(std::int32_t id) const {
    return m_pDeviceTypes->Find(id);
}

const TCHiIobDeviceType* TCHiIobHardwareSetup::FindDeviceType(const std::string& name) const {
    return m_pDeviceTypes->FindByName(name);
}

void TCHiIobHardwareSetup::GetDeviceTypesOfConnector(
    std::int32_t connectorTypeId, std::vector<const TCHiIobDeviceType*>& types) const {
    m_pDeviceTypes->GetTypesOfConnector(connectorTypeId, types);
}

void TCHiIobHardwareSetup::GetDirectDeviceTypes(
    std::int32_t portKind, std::vector<const TCHiIobDeviceType*>& types) const {
    m_pDeviceTypes->GetDirectTypes(portKind, types);
}

const TCHiIobConnectorType* TCHiIobHardwareSetup::GetConnectorType(std::int32_t id) const {
    return m_pConnectorTypes->Find(id);
}

const TCHiIobConnectorType* TCHiIobHardwareSetup::FindConnectorType(const std::string& name) const {
    return m_pConnectorTypes->FindByName(name);
}

void TCHiIobHardwareSetup::GetConnectorTypesOfPortKind(
    std::int32_t portKind, std::vector<const TCHiIobConnectorType*>& types) const {
    m_pConnectorTypes->GetByPortKind(portKind, types);
}
