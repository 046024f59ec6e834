#include "sampling/SignalValueHandler.h"

#include "model/Device.h"
#include "model/DeviceType.h"

namespace {

constexpr std::int32_t kLickometerTypeId = 3;
constexpr std::int32_t kNumberOfLicksSignalId = 0;
constexpr std::int32_t kDurationOfLicksSignalId = 1;
// The lickometer reports lick time in units of 10 ms.
constexpr std::int64_t kMicrosecondsPerDurationUnit = 10000;

}  // namespace

TCHiIobSignalValueHandler::TCHiIobSignalValueHandler(const TCHiIobDevice* device,
                                                     const TCHiIobSignal* signal)
    : m_pDevice(device), m_pSignal(signal) {}

TCHiIobValue TCHiIobSignalValueHandler::Process(const std::vector<std::uint8_t>& bytes) {
    if (m_pSignal == nullptr || m_pDevice == nullptr || m_pSignal->GetKind() != eSignalKindData) {
        return TCHiIobValue();
    }
    std::uint64_t combined = 0;
    for (auto it = bytes.rbegin(); it != bytes.rend(); ++it) {
        combined = combined * 255u + *it;
    }
    auto increment = static_cast<std::int64_t>(combined);
    if (m_pDevice->GetDeviceTypeId() != kLickometerTypeId) {
        return TCHiIobValue();
    }
    if (m_pSignal->GetId() == kDurationOfLicksSignalId) {
        increment = static_cast<std::int64_t>(static_cast<std::uint64_t>(increment) *
                                              kMicrosecondsPerDurationUnit);
    } else if (m_pSignal->GetId() != kNumberOfLicksSignalId) {
        return TCHiIobValue();
    }
    if (m_valTotal.GetType() == eKavexIdtHiVtUndefined) {
        m_valTotal = TCHiIobValue(increment);
    } else {
        m_valTotal = m_valTotal + TCHiIobValue(increment);
    }
    return m_valTotal;
}

void TCHiIobSignalValueHandler::Clear() {
    m_valTotal.Clear();
}
