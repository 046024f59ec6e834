#include "setup/Controller.h"

#include <algorithm>

#include "sampling/Sampler.h"

TCHiIobValueLayout::TCHiIobValueLayout(std::vector<std::pair<std::int32_t, std::int32_t>> keys)
    : m_vecKeys(std::move(keys)) {
    std::sort(m_vecKeys.begin(), m_vecKeys.end());
    m_vecKeys.erase(std::unique(m_vecKeys.begin(), m_vecKeys.end()), m_vecKeys.end());
}

std::ptrdiff_t TCHiIobValueLayout::IndexOf(std::int32_t deviceId, std::int32_t signalId) const {
    const auto key = std::make_pair(deviceId, signalId);
    const auto it = std::lower_bound(m_vecKeys.begin(), m_vecKeys.end(), key);
    if (it == m_vecKeys.end() || *it != key) {
        return -1;
    }
    return it - m_vecKeys.begin();
}

TCHiIobController::TCHiIobController(TCHiIobHardwareSetup* setup)
    : m_pSampler(std::make_unique<TCHiIobSampler>(setup)) {}

TCHiIobController::~TCHiIobController() {
    ShutdownSampler();
}

void TCHiIobController::SetIOBoxes(const std::vector<TCHiIobIOBox*>& boxes) {
    std::map<TCHiIobIOBox*, std::unique_ptr<BoxChannel>, std::less<>> channels;
    for (TCHiIobIOBox* box : boxes) {
        channels.emplace(box, std::make_unique<BoxChannel>());
    }
    m_mapChannels.swap(channels);
}

TCHiIobController::BoxChannel* TCHiIobController::FindChannel(const TCHiIobIOBox* box) const {
    const auto it = m_mapChannels.find(box);
    return it == m_mapChannels.end() ? nullptr : it->second.get();
}

void TCHiIobController::StartSampler() {
    if (m_pSampler->IsRunning() || !m_pSampler->Stop()) {
        return;
    }
    for (const auto& [box, channel] : m_mapChannels) {
        std::list<QueuedCommand> droppedCommands;
        std::shared_ptr<const TCHiIobBoxValues> droppedValues;
        const zentrix::ScopedLock lock(channel->lock);
        droppedCommands.swap(channel->pendingCommands);
        droppedValues.swap(channel->latestValues);
    }
    m_pSampler->Start();
}

bool TCHiIobController::StopSampler() {
    return m_pSampler->Stop();
}

bool TCHiIobController::StopSampler(std::chrono::steady_clock::time_point deadline) {
    return m_pSampler->Stop(deadline);
}

void TCHiIobController::ShutdownSampler() noexcept {
    m_pSampler->Shutdown();
}

bool TCHiIobController::IsSampling() const {
    return m_pSampler->IsRunning();
}

std::size_t TCHiIobController::GetSamplingThreadCount() const {
    return m_pSampler->GetThreadCount();
}

void TCHiIobController::QueueCommand(TCHiIobIOBox* box, std::int32_t deviceId,
                                     std::int32_t commandId) {
    BoxChannel* channel = FindChannel(box);
    if (channel == nullptr) {
        return;
    }
    std::list<QueuedCommand> node;
    node.push_back({deviceId, commandId});
    const zentrix::ScopedLock lock(channel->lock);
    channel->pendingCommands.splice(channel->pendingCommands.end(), node);
}

void TCHiIobController::GetValue(const TCHiIobIOBox* box, std::int32_t deviceId,
                                 std::int32_t signalId, TCHiIobValue& value) const {
    const BoxChannel* channel = FindChannel(box);
    if (channel == nullptr) {
        return;
    }
    std::shared_ptr<const TCHiIobBoxValues> snapshot;
    {
        const zentrix::ScopedLock lock(channel->lock);
        snapshot = channel->latestValues;
    }
    if (!snapshot || !snapshot->layout) {
        return;
    }
    const std::ptrdiff_t slot = snapshot->layout->IndexOf(deviceId, signalId);
    if (slot >= 0 && static_cast<std::size_t>(slot) < snapshot->values.size()) {
        value = snapshot->values[static_cast<std::size_t>(slot)];
    }
}

void TCHiIobController::TakeCommands(TCHiIobCommandQueue& commands) {
    commands.clear();
    std::vector<std::pair<std::int32_t, std::int32_t>> boxCommands;
    for (const auto& [box, channel] : m_mapChannels) {
        TakeCommands(box, boxCommands);
        if (!boxCommands.empty()) {
            commands[box].swap(boxCommands);
        }
    }
}

void TCHiIobController::TakeCommands(const TCHiIobIOBox* box,
                                     std::vector<std::pair<std::int32_t, std::int32_t>>& commands) {
    commands.clear();
    BoxChannel* channel = FindChannel(box);
    if (channel == nullptr) {
        return;
    }
    std::list<QueuedCommand> taken;
    {
        const zentrix::ScopedLock lock(channel->lock);
        taken.swap(channel->pendingCommands);
    }
    commands.reserve(taken.size());
    for (const QueuedCommand& command : taken) {
        commands.emplace_back(command.deviceId, command.commandId);
    }
}

void TCHiIobController::ReturnCommands(const TCHiIobCommandQueue& commands) {
    for (const auto& [box, boxCommands] : commands) {
        ReturnCommands(box, boxCommands);
    }
}

void TCHiIobController::ReturnCommands(
    const TCHiIobIOBox* box, const std::vector<std::pair<std::int32_t, std::int32_t>>& commands) {
    BoxChannel* channel = FindChannel(box);
    if (channel == nullptr || commands.empty()) {
        return;
    }
    std::list<QueuedCommand> returned;
    for (const auto& [deviceId, commandId] : commands) {
        returned.push_back({deviceId, commandId});
    }
    const zentrix::ScopedLock lock(channel->lock);
    channel->pendingCommands.splice(channel->pendingCommands.begin(), returned);
}

std::shared_ptr<const TCHiIobBoxValues> TCHiIobController::CopyValues(
    const TCHiIobIOBox* box) const {
    const BoxChannel* channel = FindChannel(box);
    return channel == nullptr ? nullptr : channel->latestValues;
}

void TCHiIobController::PublishValues(const TCHiIobIOBox* box,
                                      std::shared_ptr<const TCHiIobBoxValues> values) {
    BoxChannel* channel = FindChannel(box);
    if (channel == nullptr) {
        return;
    }
    {
        const zentrix::ScopedLock lock(channel->lock);
        channel->latestValues.swap(values);
    }
    // The replaced snapshot is released here, outside the lock.
}

void TCHiIobController::MeasureLockHolds(bool measure) {
    for (const auto& [box, channel] : m_mapChannels) {
        channel->lock.MeasureHolds(measure);
    }
}

zentrix::CriticalSection::HoldStatistics TCHiIobController::GetLockHoldStatistics() const {
    zentrix::CriticalSection::HoldStatistics total;
    for (const auto& [box, channel] : m_mapChannels) {
        const auto holds = channel->lock.GetHoldStatistics();
        total.holds += holds.holds;
        total.longHolds += holds.longHolds;
        total.longestNs = std::max(total.longestNs, holds.longestNs);
    }
    return total;
}
