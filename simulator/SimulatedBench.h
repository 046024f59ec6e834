// A bench of simulated IO boxes behind the IO-Warrior library seam, running on the time of a
// Clock so that tests can drive it on virtual time.
#ifndef ZENTRIX_SIMULATOR_SIMULATEDBENCH_H
#define ZENTRIX_SIMULATOR_SIMULATEDBENCH_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/Clock.h"
#include "platform/IoWarriorLibrary.h"
#include "simulator/BenchConfig.h"
#include "simulator/SimulatedIoBox.h"

namespace zentrix::sim {

class EventLog;

// Simulator time starts at 0 ms on construction and follows the clock across the wrap of its
// 32-bit counter; every call first plays all events up to the clock's current time, and a clock
// set back leaves simulator time where it was.
//
// Calls for different controllers may come from different threads at once, as the library seam
// allows: each box has a lock of its own for its state and its events, and the bench's lock guards
// only simulator time and whether the library is open, for the few instructions it takes to read
// the clock. No call holds a lock while it waits. Two calls for one controller at once break the
// seam's rule and are recorded as a protocol error of that box.
class SimulatedBench final : public IoWarriorLibrary {
public:
    // Throws BenchConfigError for an invalid configuration and std::runtime_error when the event
    // log cannot be opened. The clock must outlive the bench.
    SimulatedBench(const BenchConfig& config, Clock& clock);
    ~SimulatedBench() override;
    SimulatedBench(const SimulatedBench&) = delete;
    SimulatedBench& operator=(const SimulatedBench&) = delete;

    IowHandle OpenDevice() override;
    void CloseDevice(IowHandle handle) override;
    std::int32_t GetNumDevs() override;
    IowHandle GetDeviceHandle(std::int32_t numDevice) override;
    bool GetSerialNumber(IowHandle handle, char16_t* serialNumber) override;
    std::uint32_t GetProductId(IowHandle handle) override;
    std::uint32_t Write(IowHandle handle, std::uint32_t pipe, const std::uint8_t* buffer,
                        std::uint32_t length) override;
    std::uint32_t Read(IowHandle handle, std::uint32_t pipe, std::uint8_t* buffer,
                       std::uint32_t length) override;
    void SetWriteTimeout(IowHandle handle, std::uint32_t timeoutMs) override;
    void SetTimeout(IowHandle handle, std::uint32_t timeoutMs) override;

    std::size_t BoxCount() const { return m_boxes.size(); }
    // Boxes in configuration order, which is also the library's controller order; throws
    // std::out_of_range past the end.
    SimulatedIoBox& Box(std::size_t index);
    // The first box with that id, or null.
    SimulatedIoBox* FindBox(int boxId);
    // Simulator time in milliseconds.
    std::uint64_t NowMs();
    // The protocol errors of every box, in time order.
    std::vector<ProtocolError> ProtocolErrors();
    void SetTraceEnabled(bool enabled);
    bool IsOpen();

private:
    friend class SimulatedIoBox;

    // Marks one library call on a controller for as long as it runs.
    class ControllerCall {
    public:
        ControllerCall(SimulatedBench& bench, IowHandle handle, std::string_view operation);
        ~ControllerCall();
        ControllerCall(const ControllerCall&) = delete;
        ControllerCall& operator=(const ControllerCall&) = delete;

    private:
        SimulatedIoBox* m_box;
    };

    // The box behind a handle, whether the library is open or not; null for an unknown handle.
    // Needs no lock: the boxes never change after construction.
    SimulatedIoBox* BoxOfHandle(IowHandle handle) const;

    // One box held under its lock and brought up to simulator time, which the bench takes from
    // the clock first; the bench's lock is released before the box's work begins.
    struct BoxGuard {
        std::unique_lock<std::mutex> lock;
        std::uint64_t nowMs = 0;
        bool open = false;
    };
    BoxGuard LockBoxAndSynchronise(SimulatedIoBox& box);
    // The bench's lock, simulator time brought up to the clock's.
    std::unique_lock<std::mutex> LockAndSynchronise();
    // The same with every box's events played up to that time.
    std::unique_lock<std::mutex> LockAndSynchroniseAll();
    void AdvanceTimeLocked();
    // Plays the events of these boxes, whose locks the caller holds, up to that time, in time
    // order across them.
    static void PlayInTimeOrder(const std::vector<SimulatedIoBox*>& boxes, std::uint64_t timeMs);
    // The box of a handle held and up to date, or null: for an unknown handle, and for a known one
    // while the library is closed, which is recorded as a protocol error of its box naming the
    // operation.
    SimulatedIoBox* LockOpenBox(IowHandle handle, std::string_view operation, BoxGuard& guard);

    Clock& m_clock;
    // Guards simulator time and m_open; taken before a box's lock, never after.
    std::mutex m_mutex;
    std::uint32_t m_lastClockMs;
    std::uint64_t m_nowMs = 0;
    std::unique_ptr<EventLog> m_eventLog;
    std::vector<std::unique_ptr<SimulatedIoBox>> m_boxes;
    bool m_open = false;
};

}  // namespace zentrix::sim

#endif
