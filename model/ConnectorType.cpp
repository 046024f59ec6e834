#include "model/ConnectorType.h"

#include <algorithm>
#include <limits>
#include <utility>

TCHiIobConnectorType::TCHiIobConnectorType(std::int32_t id, std::string name, std::int32_t portKind,
                                           std::int32_t positions, std::int32_t linesPerPosition)
    : m_iId(id),
      m_strName(std::move(name)),
      m_iPortKind(portKind),
      m_iPositions(positions),
      m_iLinesPerPosition(linesPerPosition) {}

std::int32_t TCHiIobConnectorType::GetPositionOffset(std::int32_t position) const {
    // Worked out in 64 bits and clamped, so that no position, however wrong, overflows.
    const std::int64_t offset = (std::int64_t{position} - 1) * m_iLinesPerPosition;
    return static_cast<std::int32_t>(
        std::clamp<std::int64_t>(offset, std::numeric_limits<std::int32_t>::min(),
                                 std::numeric_limits<std::int32_t>::max()));
}

void TCHiIobConnectorTypes::Add(std::unique_ptr<TCHiIobConnectorType> connectorType) {
    if (connectorType) {
        const std::int32_t id = connectorType->GetId();
        m_mapTypes.try_emplace(id, std::move(connectorType));
    }
}

const TCHiIobConnectorType* TCHiIobConnectorTypes::Find(std::int32_t id) const {
    const auto it = m_mapTypes.find(id);
    return it == m_mapTypes.end() ? nullptr : it->second.get();
}

const TCHiIobConnectorType* TCHiIobConnectorTypes::FindByName(const std::string& name) const {
    for (const auto& [id, type] : m_mapTypes) {
        if (type->GetName() == name) {
            return type.get();
        }
    }
    return nullptr;
}

void TCHiIobConnectorTypes::GetAll(std::vector<const TCHiIobConnectorType*>& types) const {
    types.clear();
    for (const auto& [id, type] : m_mapTypes) {
        types.push_back(type.get());
    }
}

void TCHiIobConnectorTypes::GetByPortKind(std::int32_t portKind,
                                          std::vector<const TCHiIobConnectorType*>& types) const {
    types.clear();
    for (const auto& [id, type] : m_mapTypes) {
        if (type->GetPortKind() == portKind) {
            types.push_back(type.get());
        }
    }
}
