// The meeting point of the host's thread and the sampler thread: the commands the host queued and
// the values the passes sampled, behind one lock. The lock is held only for O(1) work (a queue
// append, a swap, a pointer copy), never during hardware access or a map copy: values are
// published per IO box as immutable snapshots that readers share.
#ifndef ZENTRIX_SETUP_CONTROLLER_H
#define ZENTRIX_SETUP_CONTROLLER_H

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "model/Value.h"
#include "platform/Lock.h"
#include "sampling/PeriodRecorder.h"

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
    // Host thread. Stops and joins the sampler thread, then finishes sampling; false when the
    // join failed and the thread is still winding down (nothing is finished then).
    bool StopSampler();
    // Stops for good before the setup goes: the join is not cut short and nothing is thrown.
    void ShutdownSampler() noexcept;
    bool IsSampling() const;

    // Host thread, under the lock.
    void QueueCommand(TCHiIobIOBox* box, std::int32_t deviceId, std::int32_t commandId);
    // Leaves the value as it was when nothing was sampled for (box, device, signal).
    void GetValue(const TCHiIobIOBox* box, std::int32_t deviceId, std::int32_t signalId,
                  TCHiIobValue& value) const;

    // Pass thread (the sampler's, or the host's inside start and stop of sampling).
    void TakeCommands(TCHiIobCommandQueue& commands);
    // Puts commands that a pass took but did not carry out back in front of those queued since,
    // each box's in their order.
    void ReturnCommands(const TCHiIobCommandQueue& commands);
    // The box's last published values, or null. Read without the lock: only the passes write.
    std::shared_ptr<const TCHiIobBoxValues> CopyValues(const TCHiIobIOBox* box) const;
    void PublishValues(const TCHiIobIOBox* box, std::shared_ptr<const TCHiIobBoxValues> values);

    // For benchmarks: how long callers held the lock since measuring began.
    void MeasureLockHolds(bool measure) { m_lock.MeasureHolds(measure); }
    zentrix::CriticalSection::HoldStatistics GetLockHoldStatistics() const {
        return m_lock.GetHoldStatistics();
    }

    // The sampling threads' record of their periods; off unless enabled.
    zentrix::PeriodRecorder& GetPeriodRecorder() { return m_periodRecorder; }

private:
    using LatestValues = std::map<const TCHiIobIOBox*, std::shared_ptr<const TCHiIobBoxValues>>;

    zentrix::PeriodRecorder m_periodRecorder;
    std::unique_ptr<TCHiIobSampler> m_pSampler;
    mutable zentrix::CriticalSection m_lock;
    // Commands in arrival order over all boxes: a list, so that queueing splices one node in and
    // taking swaps the whole list, both in constant time under the lock.
    struct QueuedCommand {
        TCHiIobIOBox* box;
        std::int32_t deviceId;
        std::int32_t commandId;
    };
    std::list<QueuedCommand> m_lstPendingCommands;
    LatestValues m_mapLatestValues;
};

#endif
