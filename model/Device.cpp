#include "model/Device.h"

#include <utility>

#include "model/ConnectorType.h"
#include "model/DeviceType.h"
#include "setup/HardwareSetup.h"

TCHiIobDevice::TCHiIobDevice(const TCHiIobHardwareSetup* setup, std::string name,
                             std::int32_t deviceTypeId, std::int32_t connectorPortId,
                             std::int32_t deviceId)
    : m_pSetup(setup),
      m_iDeviceId(deviceId),
      m_strDeviceName(std::move(name)),
      m_iDeviceTypeId(deviceTypeId),
      m_iConnectorPortId(connectorPortId),
      m_pDeviceType(setup != nullptr ? setup->GetDeviceType(deviceTypeId) : nullptr) {
    if (m_pDeviceType == nullptr) {
        return;
    }
    std::vector<const TCHiIobSignal*> signals;
    m_pDeviceType->GetSignals(signals);
    for (const TCHiIobSignal* signal : signals) {
        if (signal->GetKind() == eSignalKindLine) {
            m_mapSignalStates.try_emplace(signal->GetId(), std::make_unique<TCHiIobSignalState>(
                                                               signal->GetIdleLevel() ? 1 : 0));
        } else if (signal->GetKind() == eSignalKindData) {
            m_mapValueHandlers.try_emplace(
                signal->GetId(), std::make_unique<TCHiIobSignalValueHandler>(this, signal));
        }
    }
}

void TCHiIobDevice::SetDeviceId(std::int32_t id) {
    if (id >= 0 && m_iDeviceId < 0) {
        m_iDeviceId = id;
    }
}

std::int32_t TCHiIobDevice::AbsoluteLine(std::int32_t relativeLine) const {
    if (m_iConnectorPortId == -1 || m_pDeviceType == nullptr || m_pSetup == nullptr) {
        return relativeLine;
    }
    const TCHiIobConnectorType* connector =
        m_pSetup->GetConnectorType(m_pDeviceType->GetConnectorTypeId());
    if (connector == nullptr) {
        return relativeLine;
    }
    // A position the connector lacks would reach another device's lines, or overflow.
    if (m_iConnectorPortId < 1 || m_iConnectorPortId > connector->GetPositions()) {
        return kNoLine;
    }
    return relativeLine + connector->GetPositionOffset(m_iConnectorPortId);
}

std::int32_t TCHiIobDevice::GetSignalLine(const TCHiIobSignal& signal) const {
    return AbsoluteLine(signal.GetLine());
}

std::int32_t TCHiIobDevice::GetCommandLine(const TCHiIobCommand& command) const {
    return AbsoluteLine(command.GetLine());
}

bool TCHiIobDevice::DeriveLineSignal(const TCHiIobSignal& signal, std::uint8_t level,
                                     TCHiIobValue& value, bool levelWasRead) {
    const auto it = m_mapSignalStates.find(signal.GetId());
    if (it == m_mapSignalStates.end()) {
        return false;
    }
    TCHiIobSignalState& state = *it->second;
    const std::uint64_t edgesBefore = state.GetRisingCount() + state.GetFallingCount();
    if (levelWasRead) {
        state.Update(level);
    } else {
        state.Hold(level);
    }
    switch (signal.GetDerivation()) {
        case eDerivationIsLow:
            value = TCHiIobValue(state.GetCurrentLevel() == 0);
            break;
        case eDerivationIsHigh:
            value = TCHiIobValue(state.GetCurrentLevel() != 0);
            break;
        case eDerivationRisingCount:
            value = TCHiIobValue(static_cast<std::int64_t>(state.GetRisingCount()));
            break;
        case eDerivationFallingCount:
            value = TCHiIobValue(static_cast<std::int64_t>(state.GetFallingCount()));
            break;
        default:
            break;
    }
    return state.GetRisingCount() + state.GetFallingCount() != edgesBefore;
}

void TCHiIobDevice::DeriveDataSignal(const TCHiIobSignal& signal,
                                     const std::vector<std::uint8_t>& bytes, TCHiIobValue& value) {
    const auto it = m_mapValueHandlers.find(signal.GetId());
    if (it != m_mapValueHandlers.end()) {
        value = it->second->Process(bytes);
    }
}

TCHiIobValue TCHiIobDevice::GetDataTotal(const TCHiIobSignal& signal) const {
    const auto it = m_mapValueHandlers.find(signal.GetId());
    return it != m_mapValueHandlers.end() ? it->second->GetTotal() : TCHiIobValue();
}

void TCHiIobDevice::ResetSignalStates() {
    for (auto& [id, state] : m_mapSignalStates) {
        state->Reset();
    }
}

void TCHiIobDevice::ClearSignalValueHandlers() {
    for (auto& [id, handler] : m_mapValueHandlers) {
        handler->Clear();
    }
}

bool TCHiIobDevice::IsValid() const {
    if (m_pDeviceType == nullptr) {
        return false;
    }
    if (m_pDeviceType->GetConnectorTypeId() == -1) {
        return m_iConnectorPortId == -1;
    }
    const TCHiIobConnectorType* connector =
        m_pSetup->GetConnectorType(m_pDeviceType->GetConnectorTypeId());
    return connector != nullptr && m_iConnectorPortId >= 1 &&
           m_iConnectorPortId <= connector->GetPositions();
}

bool TCHiIobDevices::Add(std::unique_ptr<TCHiIobDevice> device) {
    if (!device) {
        return false;
    }
    const std::int32_t id = device->GetDeviceId();
    return m_mapDevices.try_emplace(id, std::move(device)).second;
}

void TCHiIobDevices::Remove(std::int32_t id) {
    m_mapDevices.erase(id);
}

const TCHiIobDevice* TCHiIobDevices::Find(std::int32_t id) const {
    const auto it = m_mapDevices.find(id);
    return it == m_mapDevices.end() ? nullptr : it->second.get();
}

TCHiIobDevice* TCHiIobDevices::Find(std::int32_t id) {
    const auto it = m_mapDevices.find(id);
    return it == m_mapDevices.end() ? nullptr : it->second.get();
}

void TCHiIobDevices::GetAll(std::vector<const TCHiIobDevice*>& devices) const {
    devices.clear();
    for (const auto& [id, device] : m_mapDevices) {
        devices.push_back(device.get());
    }
}

void TCHiIobDevices::GetAll(std::vector<TCHiIobDevice*>& devices) {
    devices.clear();
    for (const auto& [id, device] : m_mapDevices) {
        devices.push_back(device.get());
    }
}
