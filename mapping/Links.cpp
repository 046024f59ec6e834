#include "mapping/Links.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "iobox/IOBox.h"
#include "iobox/Port.h"
#include "model/Device.h"
#include "model/DeviceType.h"
#include "platform/StringResources.h"
#include "platform/StringUtil.h"
#include "resources/StringTable.h"
#include "setup/HardwareSetup.h"

namespace {

constexpr int kLastDefaultIdNumber = 999;

std::int32_t PortKindOf(const TCHiIobPort& port) {
    return port.IsSdiPort() ? ePortKindSdi : ePortKindTtl;
}

std::string PortNameOf(const TCHiIobPortLink& row) {
    return row.m_pPort != nullptr ? row.m_pPort->GetName() : std::string();
}

std::unique_ptr<TCHiIobPortLink> PortRow(const TCHiIobPort* port) {
    auto row = std::make_unique<TCHiIobPortLink>();
    row->m_pPort = port;
    return row;
}

void FillBoxEntry(const TCHiIobHardwareSetup& setup, const TCHiIobIOBox& box,
                  TCHiIobIOBoxLinks& entry) {
    std::vector<const TCHiIobDevice*> devices;
    for (const TCHiIobPort* port : box.GetPorts().GetPorts()) {
        box.GetDevicesOnPort(port->GetId(), devices);
        const TCHiIobDeviceType* firstType =
            devices.empty() ? nullptr : setup.GetDeviceType(devices.front()->GetDeviceTypeId());
        if (firstType == nullptr) {
            entry.m_lstPortLinks.push_back(PortRow(port));
            continue;
        }
        const TCHiIobConnectorType* connector =
            firstType->GetConnectorTypeId() == -1
                ? nullptr
                : setup.GetConnectorType(firstType->GetConnectorTypeId());
        if (connector == nullptr) {
            auto row = PortRow(port);
            row->m_pDeviceType = firstType;
            row->m_strDeviceId = devices.front()->GetDeviceName();
            row->m_iDeviceId = devices.front()->GetDeviceId();
            entry.m_lstPortLinks.push_back(std::move(row));
            continue;
        }
        auto connectorRow = PortRow(port);
        connectorRow->m_pConnectorType = connector;
        entry.m_lstPortLinks.push_back(std::move(connectorRow));
        for (std::int32_t position = 1; position <= connector->GetPositions(); ++position) {
            auto row = PortRow(port);
            row->m_pConnectorData =
                std::make_unique<TCHiIobConnectorData>(connector->GetId(), position);
            const auto device = std::find_if(
                devices.begin(), devices.end(),
                [position](const TCHiIobDevice* d) { return d->GetConnectorPortId() == position; });
            if (device != devices.end()) {
                row->m_pDeviceType = setup.GetDeviceType((*device)->GetDeviceTypeId());
                row->m_strDeviceId = (*device)->GetDeviceName();
                row->m_iDeviceId = (*device)->GetDeviceId();
            }
            entry.m_lstPortLinks.push_back(std::move(row));
        }
    }
}

TCHiIobPortLinkList::iterator FindRow(TCHiIobIOBoxLinks& entry, const TCHiIobPortLink& row) {
    return std::find_if(
        entry.m_lstPortLinks.begin(), entry.m_lstPortLinks.end(),
        [&row](const std::unique_ptr<TCHiIobPortLink>& r) { return r.get() == &row; });
}

}  // namespace

bool IsMissingDeviceId(const std::string& idText) {
    return idText.empty() || idText == zentrix::LoadStringResource(IDS_ENTER_DEVICE_ID);
}

TCHiIobIOBoxLinks::~TCHiIobIOBoxLinks() {
    while (!m_lstPortLinks.empty()) {
        m_lstPortLinks.pop_front();
    }
}

TCHiIobLinks::TCHiIobLinks(const TCHiIobHardwareSetup& setup) {
    std::vector<const TCHiIobIOBox*> boxes;
    setup.GetIODevices(boxes);
    for (const TCHiIobIOBox* box : boxes) {
        auto entry = std::make_unique<TCHiIobIOBoxLinks>(box->GetId());
        FillBoxEntry(setup, *box, *entry);
        m_lstIOBoxLinks.push_back(std::move(entry));
    }
}

TCHiIobLinks::~TCHiIobLinks() {
    while (!m_lstIOBoxLinks.empty()) {
        m_lstIOBoxLinks.pop_front();
    }
}

const TCHiIobIOBoxLinks* TCHiIobLinks::FindIOBoxLinks(std::int32_t ioBoxId) const {
    for (const auto& entry : m_lstIOBoxLinks) {
        if (entry->m_iIOBoxId == ioBoxId) {
            return entry.get();
        }
    }
    return nullptr;
}

TCHiIobIOBoxLinks* TCHiIobLinks::FindIOBoxLinks(std::int32_t ioBoxId) {
    return const_cast<TCHiIobIOBoxLinks*>(std::as_const(*this).FindIOBoxLinks(ioBoxId));
}

std::string TCHiIobLinks::Describe(const TCHiIobPortLink& row) {
    if (row.m_pDeviceType != nullptr) {
        return row.m_pDeviceType->GetName();
    }
    if (row.m_pConnectorType != nullptr) {
        return row.m_pConnectorType->GetName();
    }
    return zentrix::LoadStringResource(IDS_NO_DEVICE_CONNECTED);
}

bool TCHiIobLinks::CheckUniqueDeviceId(const TCHiIobPortLink& row, const std::string& idText,
                                       std::string& message) const {
    for (const auto& entry : m_lstIOBoxLinks) {
        for (const auto& other : entry->m_lstPortLinks) {
            if (other.get() == &row || other->m_strDeviceId != idText) {
                continue;
            }
            const std::string format = zentrix::LoadStringResource(IDS_DUPLICATE_DEVICE_ID);
            zentrix::FormatString(message, format.c_str(), static_cast<int>(entry->m_iIOBoxId),
                                  PortNameOf(*other).c_str(), Describe(*other).c_str(),
                                  PortNameOf(row).c_str(), Describe(row).c_str());
            return false;
        }
    }
    return true;
}

void TCHiIobLinks::AssignDefaultDeviceId(TCHiIobPortLink& row) const {
    if (row.m_pDeviceType == nullptr) {
        return;
    }
    const std::string base = Describe(row);
    for (int number = 1; number <= kLastDefaultIdNumber; ++number) {
        const std::string candidate = base + " " + std::to_string(number);
        std::string unused;
        if (CheckUniqueDeviceId(row, candidate, unused)) {
            row.m_strDeviceId = candidate;
            return;
        }
    }
}

TCHiIobPortMappings::TCHiIobPortMappings(const TCHiIobHardwareSetup& setup)
    : m_setup(setup), m_pLinks(std::make_unique<TCHiIobLinks>(setup)) {}

TCHiIobPortMappings::~TCHiIobPortMappings() = default;

const TCHiIobIOBoxLinks* TCHiIobPortMappings::FindIOBoxLinks(std::int32_t ioBoxId) const {
    return std::as_const(*m_pLinks).FindIOBoxLinks(ioBoxId);
}

TCHiIobIOBoxLinks* TCHiIobPortMappings::FindIOBoxLinks(std::int32_t ioBoxId) {
    return m_pLinks->FindIOBoxLinks(ioBoxId);
}

int TCHiIobPortMappings::GetRowCount(const TCHiIobIOBoxLinks* entry) {
    return entry == nullptr ? -1 : static_cast<int>(entry->m_lstPortLinks.size());
}

const TCHiIobPortLink* TCHiIobPortMappings::GetRow(const TCHiIobIOBoxLinks* entry, int rowNumber) {
    if (entry == nullptr || rowNumber < 1 || rowNumber > GetRowCount(entry)) {
        return nullptr;
    }
    auto it = entry->m_lstPortLinks.begin();
    std::advance(it, rowNumber - 1);
    return it->get();
}

TCHiIobPortLink* TCHiIobPortMappings::GetRow(TCHiIobIOBoxLinks* entry, int rowNumber) {
    return const_cast<TCHiIobPortLink*>(
        GetRow(static_cast<const TCHiIobIOBoxLinks*>(entry), rowNumber));
}

void TCHiIobPortMappings::GetCellTexts(const TCHiIobPortLink& row, std::string& typeText,
                                       std::string& choiceList) const {
    const std::string noDevice = zentrix::LoadStringResource(IDS_NO_DEVICE_CONNECTED);
    const std::string separator = zentrix::LoadStringResource(IDS_CHOICE_SEPARATOR);
    if (row.m_pConnectorType != nullptr) {
        typeText = row.m_pConnectorType->GetName();
    } else if (row.m_pDeviceType != nullptr) {
        typeText = row.m_pDeviceType->GetName();
    } else {
        typeText = noDevice;
    }
    choiceList.clear();
    std::vector<const TCHiIobDeviceType*> deviceTypes;
    if (row.m_pConnectorData != nullptr) {
        m_setup.GetDeviceTypesOfConnector(row.m_pConnectorData->GetConnectorTypeId(), deviceTypes);
        for (const TCHiIobDeviceType* type : deviceTypes) {
            choiceList += type->GetName() + separator;
        }
    } else if (row.m_pPort != nullptr) {
        const std::int32_t portKind = PortKindOf(*row.m_pPort);
        m_setup.GetDirectDeviceTypes(portKind, deviceTypes);
        for (const TCHiIobDeviceType* type : deviceTypes) {
            choiceList += type->GetName() + separator;
        }
        std::vector<const TCHiIobConnectorType*> connectorTypes;
        m_setup.GetConnectorTypesOfPortKind(portKind, connectorTypes);
        for (const TCHiIobConnectorType* type : connectorTypes) {
            choiceList += type->GetName() + separator;
        }
    }
    choiceList += noDevice;
}

const TCHiIobDeviceType* TCHiIobPortMappings::FindDeviceType(const std::string& name) const {
    return m_setup.FindDeviceType(name);
}

const TCHiIobConnectorType* TCHiIobPortMappings::FindConnectorType(const std::string& name) const {
    return m_setup.FindConnectorType(name);
}

void TCHiIobPortMappings::RemovePositionRows(TCHiIobIOBoxLinks& entry, const TCHiIobPortLink& row) {
    auto it = FindRow(entry, row);
    if (it == entry.m_lstPortLinks.end()) {
        return;
    }
    const std::int32_t positions =
        row.m_pConnectorType != nullptr ? row.m_pConnectorType->GetPositions() : 0;
    ++it;
    for (std::int32_t i = 0; i < positions && it != entry.m_lstPortLinks.end(); ++i) {
        if ((*it)->m_pConnectorData != nullptr) {
            it = entry.m_lstPortLinks.erase(it);
        } else {
            ++it;
        }
    }
}

void TCHiIobPortMappings::InsertPositionRows(TCHiIobIOBoxLinks& entry, const TCHiIobPortLink& row) {
    auto it = FindRow(entry, row);
    if (it == entry.m_lstPortLinks.end() || row.m_pConnectorType == nullptr) {
        return;
    }
    ++it;
    for (std::int32_t position = 1; position <= row.m_pConnectorType->GetPositions(); ++position) {
        auto positionRow = PortRow(row.m_pPort);
        positionRow->m_pConnectorData =
            std::make_unique<TCHiIobConnectorData>(row.m_pConnectorType->GetId(), position);
        entry.m_lstPortLinks.insert(it, std::move(positionRow));
    }
}

bool TCHiIobPortMappings::CheckUniqueDeviceId(const TCHiIobPortLink& row, const std::string& idText,
                                              std::string& message) const {
    return m_pLinks->CheckUniqueDeviceId(row, idText, message);
}

bool TCHiIobPortMappings::ValidateIOBox(const TCHiIobIOBoxLinks& entry,
                                        std::string& message) const {
    for (const auto& row : entry.m_lstPortLinks) {
        if (row->m_pDeviceType == nullptr) {
            continue;
        }
        if (IsMissingDeviceId(row->m_strDeviceId)) {
            const std::string format = zentrix::LoadStringResource(IDS_MISSING_DEVICE_ID);
            zentrix::FormatString(message, format.c_str(), PortNameOf(*row).c_str(),
                                  Describe(*row).c_str());
            return false;
        }
        if (!CheckUniqueDeviceId(*row, row->m_strDeviceId, message)) {
            return false;
        }
    }
    return true;
}

void TCHiIobPortMappings::AssignDefaultDeviceId(TCHiIobPortLink& row) const {
    m_pLinks->AssignDefaultDeviceId(row);
}
