#include "sampling/SignalValueHandler.h"

#include "model/Catalog.h"
#include "model/Device.h"
#include "model/DeviceType.h"

namespace {

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
    // The first byte is the least significant digit.
    for (std::size_t i = bytes.size(); i > 0; --i) {
        combined = combined * 255u + bytes[i - 1];
    }
    auto increment = static_cast<std::int64_t>(combined);
    if (m_pDevice->GetDeviceTypeId() != eDeviceTypeLickometer) {
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
