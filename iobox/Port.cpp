#include "iobox/Port.h"

TCHiIobPorts::TCHiIobPorts() {
    for (std::int32_t number = 1; number <= kTtlPortCount; ++number) {
        m_mapPorts.emplace(
            number, std::make_unique<TCHiIobPort>(number, "TTL Port " + std::to_string(number)));
    }
    for (std::int32_t number = 1; number <= kSdiPortCount; ++number) {
        const std::int32_t id = kTtlPortCount + number;
        m_mapPorts.emplace(id,
                           std::make_unique<TCHiIobPort>(id, "SDI Port " + std::to_string(number)));
    }
}

const TCHiIobPort* TCHiIobPorts::FindPort(std::int32_t id) const {
    const auto it = m_mapPorts.find(id);
    return it == m_mapPorts.end() ? nullptr : it->second.get();
}

std::vector<const TCHiIobPort*> TCHiIobPorts::GetPorts() const {
    std::vector<const TCHiIobPort*> ports;
    ports.reserve(m_mapPorts.size());
    for (const auto& [id, port] : m_mapPorts) {
        ports.push_back(port.get());
    }
    return ports;
}
