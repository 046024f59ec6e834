#include "model/DeviceType.h"

#include <utility>

TCHiIobCommand::TCHiIobCommand(std::int32_t id, std::string name, bool isDefault, std::int32_t line,
                               bool level, std::int32_t pulseDuration)
    : m_iId(id),
      m_strName(std::move(name)),
      m_bIsDefault(isDefault),
      m_iLine(line),
      m_bLevel(level),
      m_iPulseDuration(pulseDuration) {}

TCHiIobSignal::TCHiIobSignal(const TCHiIobSignalData& data)
    : m_iId(data.m_iId),
      m_strName(data.m_strName),
      m_iSource(data.m_iSource),
      m_iKind(data.m_iKind),
      m_iLine(data.m_iLine),
      m_iDataLength(data.m_iDataLength),
      m_iFirstByte(data.m_iFirstByte),
      m_iLastByte(data.m_iLastByte),
      m_iDerivation(data.m_iDerivation),
      m_bIdleLevel(data.m_bIdleLevel),
      m_bDifferential(data.m_bDifferential),
      m_eValueType(data.m_eValueType),
      m_bHasValDefault(data.m_bHasValDefault),
      m_valDefault(data.m_valDefault) {}

tagTECKavexIdtHiValue TCHiIobSignal::ToHostValue(const TCHiIobValue& value) const {
    tagTECKavexIdtHiValue record;
    value.ToHostValue(m_eValueType, record);
    return record;
}

TCHiIobDeviceType::TCHiIobDeviceType(std::int32_t id, std::string name, double maxFrequency,
                                     std::int32_t portKind, std::int32_t connectorTypeId)
    : m_iId(id),
      m_strName(std::move(name)),
      m_dbMaxFrequency(maxFrequency),
      m_iPortKind(portKind),
      m_iConnectorTypeId(connectorTypeId) {}

void TCHiIobDeviceType::AddCommand(std::unique_ptr<TCHiIobCommand> command) {
    if (command) {
        m_vecCommands.push_back(std::move(command));
    }
}

void TCHiIobDeviceType::AddSignal(std::unique_ptr<TCHiIobSignal> signal) {
    if (signal) {
        m_vecSignals.push_back(std::move(signal));
    }
}

void TCHiIobDeviceType::GetCommands(std::vector<const TCHiIobCommand*>& commands) const {
    commands.clear();
    for (const auto& command : m_vecCommands) {
        commands.push_back(command.get());
    }
}

void TCHiIobDeviceType::GetSignals(std::vector<const TCHiIobSignal*>& signals) const {
    signals.clear();
    for (const auto& signal : m_vecSignals) {
        signals.push_back(signal.get());
    }
}

void TCHiIobDeviceType::GetSignalsOfSource(std::vector<const TCHiIobSignal*>& signals,
                                           std::int32_t source) const {
    signals.clear();
    for (const auto& signal : m_vecSignals) {
        if (signal->GetSource() == source) {
            signals.push_back(signal.get());
        }
    }
}

const TCHiIobCommand* TCHiIobDeviceType::FindCommand(std::int32_t id) const {
    for (const auto& command : m_vecCommands) {
        if (command->GetId() == id) {
            return command.get();
        }
    }
    return nullptr;
}

const TCHiIobSignal* TCHiIobDeviceType::FindSignal(std::int32_t id) const {
    for (const auto& signal : m_vecSignals) {
        if (signal->GetId() == id) {
            return signal.get();
        }
    }
    return nullptr;
}

void TCHiIobDeviceTypes::Add(std::unique_ptr<TCHiIobDeviceType> deviceType) {
    if (deviceType) {
        const std::int32_t id = deviceType->GetId();
        m_mapTypes.try_emplace(id, std::move(deviceType));
    }
}

const TCHiIobDeviceType* TCHiIobDeviceTypes::Find(std::int32_t id) const {
    const auto it = m_mapTypes.find(id);
    return it == m_mapTypes.end() ? nullptr : it->second.get();
}

const TCHiIobDeviceType* TCHiIobDeviceTypes::FindByName(const std::string& name) const {
    for (const auto& [id, type] : m_mapTypes) {
        if (type->GetName() == name) {
            return type.get();
        }
    }
    return nullptr;
}

void TCHiIobDeviceTypes::GetAll(std::vector<const TCHiIobDeviceType*>& types) const {
    types.clear();
    for (const auto& [id, type] : m_mapTypes) {
        types.push_back(type.get());
    }
}

void TCHiIobDeviceTypes::GetDirectTypes(std::int32_t portKind,
                                        std::vector<const TCHiIobDeviceType*>& types) const {
    types.clear();
    for (const auto& [id, type] : m_mapTypes) {
        if (type->GetConnectorTypeId() == -1 && type->GetPortKind() == portKind) {
            types.push_back(type.get());
        }
    }
}

void TCHiIobDeviceTypes::GetTypesOfConnector(std::int32_t connectorTypeId,
                                             std::vector<const TCHiIobDeviceType*>& types) const {
    types.clear();
    for (const auto& [id, type] : m_mapTypes) {
        if (type->GetConnectorTypeId() == connectorTypeId) {
            types.push_back(type.get());
        }
    }
}
