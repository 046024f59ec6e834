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

void TCHiIobController::StartSampler() {
    if (m_pSampler->IsRunning() || !m_pSampler->Stop()) {
        return;
    }
    std::list<QueuedCommand> droppedCommands;
    LatestValues droppedValues;
    {
        const zentrix::ScopedLock lock(m_lock);
        droppedCommands.swap(m_lstPendingCommands);
        droppedValues.swap(m_mapLatestValues);
    }
    m_pSampler->Start();
}

bool TCHiIobController::StopSampler() {
    return m_pSampler->Stop();
}

void TCHiIobController::ShutdownSampler() noexcept {
    m_pSampler->Shutdown();
}

bool TCHiIobController::IsSampling() const {
    return m_pSampler->IsRunning();
}

void TCHiIobController::QueueCommand(TCHiIobIOBox* box, std::int32_t deviceId,
                                     std::int32_t commandId) {
    std::list<QueuedCommand> node;
    node.push_back({box, deviceId, commandId});
    const zentrix::ScopedLock lock(m_lock);
    m_lstPendingCommands.splice(m_lstPendingCommands.end(), node);
}

void TCHiIobController::GetValue(const TCHiIobIOBox* box, std::int32_t deviceId,
                                 std::int32_t signalId, TCHiIobValue& value) const {
    std::shared_ptr<const TCHiIobBoxValues> snapshot;
    {
        const zentrix::ScopedLock lock(m_lock);
        const auto it = m_mapLatestValues.find(box);
        if (it == m_mapLatestValues.end()) {
            return;
        }
        snapshot = it->second;
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
    std::list<QueuedCommand> taken;
    {
        const zentrix::ScopedLock lock(m_lock);
        taken.swap(m_lstPendingCommands);
    }
    for (const QueuedCommand& command : taken) {
        commands[command.box].emplace_back(command.deviceId, command.commandId);
    }
}

void TCHiIobController::ReturnCommands(const TCHiIobCommandQueue& commands) {
    std::list<QueuedCommand> returned;
    for (const auto& [box, boxCommands] : commands) {
        for (const auto& [deviceId, commandId] : boxCommands) {
            returned.push_back({box, deviceId, commandId});
        }
    }
    const zentrix::ScopedLock lock(m_lock);
    m_lstPendingCommands.splice(m_lstPendingCommands.begin(), returned);
}

std::shared_ptr<const TCHiIobBoxValues> TCHiIobController::CopyValues(
    const TCHiIobIOBox* box) const {
    const auto it = m_mapLatestValues.find(box);
    return it == m_mapLatestValues.end() ? nullptr : it->second;
}

void TCHiIobController::PublishValues(const TCHiIobIOBox* box,
                                      std::shared_ptr<const TCHiIobBoxValues> values) {
    {
        const zentrix::ScopedLock lock(m_lock);
        m_mapLatestValues[box].swap(values);
    }
    // The replaced snapshot is released here, outside the lock.
}
