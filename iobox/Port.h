// The 25 connector ports of an IO box: TTL ports 1..12 and SDI ports 13..25. Immutable after
// construction.
#ifndef ZENTRIX_IOBOX_PORT_H
#define ZENTRIX_IOBOX_PORT_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

inline constexpr std::int32_t kTtlPortCount = 12;
inline constexpr std::int32_t kSdiPortCount = 13;

class TCHiIobPort {
public:
    TCHiIobPort() = default;
    TCHiIobPort(std::int32_t id, std::string name) : m_iId(id), m_strName(std::move(name)) {}
    virtual ~TCHiIobPort() = default;

    std::int32_t GetId() const { return m_iId; }
    std::string GetName() const { return m_strName; }
    bool IsSdiPort() const { return m_iId > kTtlPortCount; }
    // The number within its kind: TTL 1..12, SDI 1..13.
    std::int32_t GetLocalNumber() const { return IsSdiPort() ? m_iId - kTtlPortCount : m_iId; }

private:
    std::int32_t m_iId = -1;
    std::string m_strName;
};

class TCHiIobPorts {
public:
    TCHiIobPorts();
    virtual ~TCHiIobPorts() = default;
    TCHiIobPorts(const TCHiIobPorts&) = delete;
    TCHiIobPorts& operator=(const TCHiIobPorts&) = delete;

    const TCHiIobPort* FindPort(std::int32_t id) const;
    // Every port in ascending id.
    std::vector<const TCHiIobPort*> GetPorts() const;

private:
    std::map<std::int32_t, std::unique_ptr<TCHiIobPort>> m_mapPorts;
};

#endif
