// Connector types (a box on one port that gives each of its positions a block of the port's
// lines) and the record that names one position of a connector.
#ifndef ZENTRIX_MODEL_CONNECTORTYPE_H
#define ZENTRIX_MODEL_CONNECTORTYPE_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class TCHiIobConnectorType {
public:
    TCHiIobConnectorType(std::int32_t id, std::string name, std::int32_t portKind,
                         std::int32_t positions, std::int32_t linesPerPosition);
    virtual ~TCHiIobConnectorType() = default;

    std::int32_t GetId() const { return m_iId; }
    std::string GetName() const { return m_strName; }
    std::int32_t GetPortKind() const { return m_iPortKind; }
    std::int32_t GetPositions() const { return m_iPositions; }
    std::int32_t GetLinesPerPosition() const { return m_iLinesPerPosition; }
    // Lines of the port that come before the given position (positions count from 1); a
    // position far outside the connector gives a clamped value instead of overflowing.
    std::int32_t GetPositionOffset(std::int32_t position) const;

private:
    std::int32_t m_iId;
    std::string m_strName;
    std::int32_t m_iPortKind;
    std::int32_t m_iPositions;
    std::int32_t m_iLinesPerPosition;
};

class TCHiIobConnectorTypes {
public:
    TCHiIobConnectorTypes() = default;
    virtual ~TCHiIobConnectorTypes() = default;
    TCHiIobConnectorTypes(const TCHiIobConnectorTypes&) = delete;
    TCHiIobConnectorTypes& operator=(const TCHiIobConnectorTypes&) = delete;

    // Keeps the first connector type added under an id.
    void Add(std::unique_ptr<TCHiIobConnectorType> connectorType);
    const TCHiIobConnectorType* Find(std::int32_t id) const;
    const TCHiIobConnectorType* FindByName(const std::string& name) const;
    void GetAll(std::vector<const TCHiIobConnectorType*>& types) const;
    void GetByPortKind(std::int32_t portKind,
                       std::vector<const TCHiIobConnectorType*>& types) const;

private:
    std::map<std::int32_t, std::unique_ptr<TCHiIobConnectorType>> m_mapTypes;
};

class TCHiIobConnectorData {
public:
    TCHiIobConnectorData() = default;
    TCHiIobConnectorData(std::int32_t connectorTypeId, std::int32_t position)
        : m_iConnectorTypeId(connectorTypeId), m_iPosition(position) {}
    virtual ~TCHiIobConnectorData() = default;
    TCHiIobConnectorData(const TCHiIobConnectorData&) = default;
    TCHiIobConnectorData& operator=(const TCHiIobConnectorData&) = default;

    std::int32_t GetConnectorTypeId() const { return m_iConnectorTypeId; }
    std::int32_t GetPosition() const { return m_iPosition; }

    friend bool operator==(const TCHiIobConnectorData& a, const TCHiIobConnectorData& b) {
        return a.m_iConnectorTypeId == b.m_iConnectorTypeId && a.m_iPosition == b.m_iPosition;
    }

private:
    std::int32_t m_iConnectorTypeId = -1;
    std::int32_t m_iPosition = -1;
};

#endif
