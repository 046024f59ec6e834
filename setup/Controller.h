// The meeting point of the host's thread and the sampling threads: the commands the host queued and
// the values the passes sampled, kept per IO box behind a lock of that box's own, so that
// different boxes' sampling threads never wait for each other here. A lock is held only for O(1)
// work (a queue splice, a swap, a pointer copy), never during hardware access or a map copy:
// values are published per IO box as immutable snapshots that readers share.
#ifndef ZENTRIX_SETUP_CONTROLLER_H
#define ZENTRIX_SETUP_CONTROLLER_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "model/Value.h"
#include "platform/Lock.h"
#include "sampling/PeriodRecorder.h"
#include "sampling/SamplingMode.h"

class TCHiIobHardwareSetup;
class TCHiIobIOBox;
class TCHiIobSampler;

// The (device id, signal id) keys of one IO box's values, sorted; shared by every snapshot of the
// box until its devices change.
class TCHiIobValueLayout {
public:
    explicit TCHiIobValueLayout(std::vector<std::pair<std::int32_t, std::int32_t>> keys);
    virtual ~TCHiIobValueLayout() = default;

    std::size_t GetSize() const { return m_vecKeys.size(); }
    // The slot of a key, or -1.
    std::ptrdiff_t IndexOf(std::int32_t deviceId, std::int32_t signalId) const;

private:
    std::vector<std::pair<std::int32_t, std::int32_t>> m_vecKeys;
};

// The values that one pass derived for one IO box, indexed by the layout's slots. Never changed
// after it is published.
struct TCHiIobBoxValues {
    std::shared_ptr<const TCHiIobValueLayout> layout;
    std::vector<TCHiIobValue> values;
};

// Commands queued per IO box, each box's in the order the host sent them.
using TCHiIobCommandQueue =
    std::map<TCHiIobIOBox*, std::vector<std::pair<std::int32_t, std::int32_t>>>;

class TCHiIobController {
public:
    explicit TCHiIobController(TCHiIobHardwareSetup* setup);
    // Stops a running sampler (which finishes sampling) before the maps go; no exception leaves
    // it.
    virtual ~TCHiIobController();
    TCHiIobController(const TCHiIobController&) = delete;
    TCHiIobController& operator=(const TCHiIobController&) = delete;

    // Host thread. Empties both maps and starts sampling; a running sampler is left alone, maps
    // included, so that no pass loses its data under it. A stop that failed is finished first.
    void StartSampler();
    // Host thread. Stops and joins every sampling thread, then finishes sampling; false when a
    // join failed and a thread is still winding down (nothing is finished then).
    bool StopSampler();
    // The same, waiting for the threads only until the deadline; false when one was still in its
    // pass then (it is kept, and nothing is finished).
    bool StopSampler(std::chrono::steady_clock::time_point deadline);
    // Stops for good before the setup goes: the join is not cut short and nothing is thrown.
    void ShutdownSampler() noexcept;
    bool IsSampling() const;
    // The sampling threads that exist now: one while serial sampling runs, one per controller
    // while concurrent sampling runs, none when stopped.
    std::size_t GetSamplingThreadCount() const;

    // Host thread, while the sampler is stopped: the boxes whose commands and values the
    // controller keeps from now on; what it kept for earlier boxes is dropped. Commands and
    // values of any other box are ignored.
    void SetIOBoxes(const std::vector<TCHiIobIOBox*>& boxes);

    // The most commands one box keeps queued for the host; past it QueueCommand refuses them.
    static constexpr std::size_t kMaxPendingCommands = 65536;

    // Host thread, under the box's lock. Commands to one box keep their order; commands to
    // different boxes are not ordered against each other. False when the box already holds
    // kMaxPendingCommands or memory ran out: the command is not queued. The first refusal of a
    // run of them is logged, and the next command queued ends the run. Throws nothing.
    bool QueueCommand(TCHiIobIOBox* box, std::int32_t deviceId, std::int32_t commandId) noexcept;
    // Host thread, at the start and end of sampling: queues a default command whatever the
    // bound, so that the outputs always reach their default state.
    void QueueDefaultCommand(TCHiIobIOBox* box, std::int32_t deviceId, std::int32_t commandId);
    // Leaves the value as it was when nothing was sampled for (box, device, signal).
    void GetValue(const TCHiIobIOBox* box, std::int32_t deviceId, std::int32_t signalId,
                  TCHiIobValue& value) const;

    // Pass thread (a sampling thread, or the host's inside start and stop of sampling). Every
    // box's queued commands.
    void TakeCommands(TCHiIobCommandQueue& commands);
    // One box's queued commands, in the order sent; only the thread that samples the box calls it.
    // When memory runs out while handing them over, they stay queued, in order, and the list
    // comes back empty.
    void TakeCommands(const TCHiIobIOBox* box,
                      std::vector<std::pair<std::int32_t, std::int32_t>>& commands);
    // Puts commands that a pass took but did not carry out back in front of those queued since,
    // each box's in their order. Up to as many as the box's last take reuse that take's queue
    // entries, so that giving them back needs no memory.
    void ReturnCommands(const TCHiIobCommandQueue& commands);
    void ReturnCommands(const TCHiIobIOBox* box,
                        const std::vector<std::pair<std::int32_t, std::int32_t>>& commands);
    // The box's last published values, or null. Read without the lock: only the thread that
    // samples the box writes them.
    std::shared_ptr<const TCHiIobBoxValues> CopyValues(const TCHiIobIOBox* box) const;
    void PublishValues(const TCHiIobIOBox* box, std::shared_ptr<const TCHiIobBoxValues> values);

    // For benchmarks: how long callers held the boxes' locks since measuring began, over all
    // boxes.
    void MeasureLockHolds(bool measure);
    zentrix::CriticalSection::HoldStatistics GetLockHoldStatistics() const;

    // How the next StartSampler spreads the passes over threads: the mode set here, else
    // ZENTRIX_SAMPLING as it is at that start. Host thread.
    void SetSamplingMode(zentrix::SamplingMode mode) { m_optSamplingMode = mode; }
    zentrix::SamplingMode GetSamplingMode() const {
        return m_optSamplingMode.value_or(zentrix::SamplingModeFromEnvironment());
    }

    // The sampling threads' record of their periods; off unless enabled.
    zentrix::PeriodRecorder& GetPeriodRecorder() { return m_periodRecorder; }

private:
    struct QueuedCommand {
        std::int32_t deviceId;
        std::int32_t commandId;
    };
    // One IO box's share of the controller. Commands are a list, so that queueing splices one
    // node in and taking swaps the whole list, both in constant time under the lock.
    struct BoxChannel {
        mutable zentrix::CriticalSection lock;
        std::list<QueuedCommand> pendingCommands;
        std::shared_ptr<const TCHiIobBoxValues> latestValues;
        // Commands QueueCommand refused since it last queued one; under the lock.
        std::uint64_t refusedCommands = 0;
        // The entries of the last take, kept until the next one for commands given back; only
        // the thread that samples the box touches them, without the lock.
        std::list<QueuedCommand> takenCommands;
    };

    BoxChannel* FindChannel(const TCHiIobIOBox* box) const;

    zentrix::PeriodRecorder m_periodRecorder;
    std::optional<zentrix::SamplingMode> m_optSamplingMode;
    std::unique_ptr<TCHiIobSampler> m_pSampler;
    // Changed only by SetIOBoxes while no sampling thread exists; read by every thread without a
    // lock.
    std::map<TCHiIobIOBox*, std::unique_ptr<BoxChannel>, std::less<>> m_mapChannels;
};

#endif
