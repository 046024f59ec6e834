#include "setup/Controller.h"

#include <algorithm>
#include <iterator>
#include <new>
#include <string>
#include <utility>

#include "iobox/IOBox.h"
#include "platform/Log.h"
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
        channel->takenCommands.clear();
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

bool TCHiIobController::QueueCommand(TCHiIobIOBox* box, std::int32_t deviceId,
                                     std::int32_t commandId) noexcept {
    BoxChannel* channel = FindChannel(box);
    if (channel == nullptr) {
        return true;
    }
    try {
        std::list<QueuedCommand> node;
        node.push_back({deviceId, commandId});
        bool queued = false;
        std::uint64_t refusedBefore = 0;
        {
            const zentrix::ScopedLock lock(channel->lock);
            if (channel->pendingCommands.size() < kMaxPendingCommands) {
                channel->pendingCommands.splice(channel->pendingCommands.end(), node);
                refusedBefore = std::exchange(channel->refusedCommands, 0);
                queued = true;
            } else {
                refusedBefore = channel->refusedCommands++;
            }
        }
        if (!queued && refusedBefore == 0) {
            zentrix::LogLazily(zentrix::LogLevel::Warning, "controller", [box] {
                return "IO box " + std::to_string(box->GetId()) + " holds " +
                       std::to_string(kMaxPendingCommands) +
                       " commands not yet carried out (sampling stopped or the box stalled); "
                       "SendCommand refuses further commands until it takes some";
            });
        } else if (queued && refusedBefore != 0) {
            zentrix::LogLazily(zentrix::LogLevel::Info, "controller", [box, refusedBefore] {
                return "IO box " + std::to_string(box->GetId()) + " queues commands again after " +
                       std::to_string(refusedBefore) + " refused";
            });
        }
        return queued;
    } catch (...) {
        zentrix::LogLazily(zentrix::LogLevel::Warning, "controller", [box] {
            return "IO box " + std::to_string(box->GetId()) +
                   ": a command could not be queued (out of memory); SendCommand refuses it";
        });
        return false;
    }
}

void TCHiIobController::QueueDefaultCommand(TCHiIobIOBox* box, std::int32_t deviceId,
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
    for (const auto& [box, channel] : m_mapChannels) {
        // The box's entry exists before its commands are taken, so that they are never held
        // where a failed allocation would lose them.
        std::vector<std::pair<std::int32_t, std::int32_t>>* boxCommands = nullptr;
        try {
            boxCommands = &commands[box];
        } catch (const std::bad_alloc&) {
            continue;
        }
        TakeCommands(box, *boxCommands);
        if (boxCommands->empty()) {
            commands.erase(box);
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
    std::list<QueuedCommand>& taken = channel->takenCommands;
    taken.clear();
    {
        const zentrix::ScopedLock lock(channel->lock);
        taken.swap(channel->pendingCommands);
    }
    try {
        commands.reserve(taken.size());
    } catch (const std::bad_alloc&) {
        {
            const zentrix::ScopedLock lock(channel->lock);
            channel->pendingCommands.splice(channel->pendingCommands.begin(), taken);
        }
        zentrix::LogLazily(zentrix::LogLevel::Warning, "controller", [box] {
            return "IO box " + std::to_string(box->GetId()) +
                   ": out of memory while taking its commands; they stay queued";
        });
        return;
    }
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
    std::list<QueuedCommand>& spare = channel->takenCommands;
    std::list<QueuedCommand> returned;
    const std::size_t reused = std::min(spare.size(), commands.size());
    returned.splice(returned.end(), spare, spare.begin(),
                    std::next(spare.begin(), static_cast<std::ptrdiff_t>(reused)));
    try {
        while (returned.size() < commands.size()) {
            returned.push_back({});
        }
    } catch (const std::bad_alloc&) {
        zentrix::LogLazily(zentrix::LogLevel::Warning, "controller", [&] {
            return "IO box " + std::to_string(box->GetId()) + ": out of memory; " +
                   std::to_string(commands.size() - returned.size()) +
                   " commands given back were lost";
        });
    }
    auto entry = returned.begin();
    for (std::size_t i = 0; entry != returned.end(); ++i, ++entry) {
        *entry = {commands[i].first, commands[i].second};
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
