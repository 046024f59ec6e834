#include <algorithm>

#include "iobox/Warrior.h"
#include "iobox/WarriorProtocol.h"

void TCHiIobWarrior::PrimeSlowDevice(std::int32_t port) {
    for (int round = 0; round < 2; ++round) {
        LatchSlowDevice(port);
    }
}

bool TCHiIobWarrior::LatchSlowDevice(std::int32_t port) {
    SelectPort(port);
    const std::uint64_t selectFromUs = m_nReportStartUs;
    m_clock.SleepMs(zentrix::kSlowDeviceSelectMs);
    DeselectAll();
    const bool read = SpiTransfer(0, 0, 0, 0);
    if (read) {
        SlowDeviceTimes& times = m_mapSlowDeviceTimes[port];
        times.previousFromUs = times.lastFromUs;
        times.lastFromUs = selectFromUs;
        times.lastByUs = m_nReportEndUs;
    }
    return read;
}

bool TCHiIobWarrior::ReadSlowDevices(bool inputsBetween) {
    const bool due = m_pSlowDeviceTimer->IsDue();
    bool ok = true;
    bool readBefore = false;
    for (auto& [port, bytes] : m_mapSlowDevices) {
        if (!due) {
            std::fill(bytes.begin(), bytes.end(), std::uint8_t{0});
            continue;
        }
        // Each read holds a select for a while: a change of the inputs meanwhile is read before
        // the next one.
        if (readBefore && inputsBetween) {
            ok = ServeInputs(true) && ok;
        }
        readBefore = true;
        ok = LatchSlowDevice(port) && ok;
        // Even a failed transfer stores what the buffer holds.
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = m_abySpecialReport[2 + i];
        }
    }
    return ok;
}

bool TCHiIobWarrior::DiscardSlowDeviceCounts() {
    bool ok = true;
    for (auto& [port, bytes] : m_mapSlowDevices) {
        ok = LatchSlowDevice(port) && ok;
        std::fill(bytes.begin(), bytes.end(), std::uint8_t{0});
    }
    m_pSlowDeviceTimer->Restart();
    return ok;
}

bool TCHiIobWarrior::GetSlowDeviceReadTimes(std::int32_t portId, std::uint64_t& previousFromUs,
                                            std::uint64_t& readByUs) const {
    const auto found = m_mapSlowDeviceTimes.find(portId - kTtlPortCount);
    if (found == m_mapSlowDeviceTimes.end()) {
        return false;
    }
    previousFromUs = found->second.previousFromUs;
    readByUs = found->second.lastByUs;
    return true;
}

std::uint8_t TCHiIobWarrior::GetSlowDeviceByte(std::int32_t portId, std::int32_t valueIndex) const {
    const auto found = m_mapSlowDevices.find(portId - kTtlPortCount);
    if (found == m_mapSlowDevices.end()) {
        return 0;
    }
    // The device shifts out its duration before its count; value indexes name the count first.
    static constexpr std::size_t kReplyIndexOfValue[] = {2, 3, 0, 1};
    if (valueIndex < 0 || valueIndex >= 4) {
        return 0;
    }
    const std::size_t mapped = kReplyIndexOfValue[valueIndex];
    const std::vector<std::uint8_t>& bytes = found->second;
    return mapped < bytes.size() ? bytes[mapped] : 0;
}
