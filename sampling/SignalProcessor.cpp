#include "sampling/SignalProcessor.h"

#include "iobox/IOBox.h"
#include "model/Device.h"
#include "model/DeviceType.h"
#include "setup/HardwareSetup.h"

TCHiIobSignalProcessor::TCHiIobSignalProcessor(const TCHiIobHardwareSetup* setup)
    : m_pSetup(setup) {}

void TCHiIobSignalProcessor::Process(const TCHiIobIOBox& box, std::int32_t deviceId,
                                     std::int32_t signalId, const TCHiIobValue& current,
                                     tagTECKavexIdtHiValue& record) {
    const TCHiIobDevice* device = box.GetDeviceById(deviceId);
    if (device == nullptr) {
        return;
    }
    const TCHiIobDeviceType* type = m_pSetup->GetDeviceType(device->GetDeviceTypeId());
    const TCHiIobSignal* signal = type != nullptr ? type->FindSignal(signalId) : nullptr;
    if (signal == nullptr) {
        return;
    }
    if (!signal->IsDifferential()) {
        record = signal->ToHostValue(current);
        return;
    }
    auto& reported = m_mapLastReported[deviceId];
    const auto [previous, inserted] = reported.try_emplace(signalId, current);
    if (inserted) {
        record = signal->ToHostValue(current);
        return;
    }
    const std::int32_t valueType = current.GetType();
    if (valueType == eKavexIdtHiVtLongLong || valueType == eKavexIdtHiVtDouble ||
        valueType == eKavexIdtHiVtDuration) {
        record = signal->ToHostValue(current - previous->second);
        previous->second = current;
    }
}
