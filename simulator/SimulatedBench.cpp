#include "simulator/SimulatedBench.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "simulator/EventLog.h"

namespace zentrix::sim {

namespace {

constexpr std::uint32_t kClockSetBackMs = 0x80000000u;

}  // namespace

SimulatedBench::SimulatedBench(const BenchConfig& config, Clock& clock)
    : m_clock(clock), m_lastClockMs(clock.NowMs()) {
    ValidateBenchConfig(config);
    if (!config.eventLog.empty()) {
        m_eventLog = std::make_unique<EventLog>(config.eventLog);
    }
    for (std::size_t i = 0; i < config.boxes.size(); ++i) {
        m_boxes.push_back(std::unique_ptr<SimulatedIoBox>(
            new SimulatedIoBox(config.boxes[i], i, *this, m_eventLog.get())));
    }
}

SimulatedBench::~SimulatedBench() = default;

std::unique_lock<std::mutex> SimulatedBench::LockAndSynchronise() {
    std::unique_lock<std::mutex> lock(m_mutex);
    AdvanceTimeLocked();
    return lock;
}

void SimulatedBench::AdvanceTimeLocked() {
    const std::uint32_t clockMs = m_clock.NowMs();
    const auto elapsedMs = static_cast<std::uint32_t>(clockMs - m_lastClockMs);
    m_lastClockMs = clockMs;
    // A step of half the counter's range or more can only be the clock being set back.
    m_nowMs += elapsedMs < kClockSetBackMs ? elapsedMs : 0;
}

std::unique_lock<std::mutex> SimulatedBench::LockAndSynchroniseAll() {
    auto lock = LockAndSynchronise();
    std::vector<std::unique_lock<std::mutex>> boxLocks;
    std::vector<SimulatedIoBox*> boxes;
    for (const auto& box : m_boxes) {
        boxLocks.emplace_back(box->m_mutex);
        boxes.push_back(box.get());
    }
    PlayInTimeOrder(boxes, m_nowMs);
    return lock;
}

SimulatedBench::BoxGuard SimulatedBench::LockBoxAndSynchronise(SimulatedIoBox& box) {
    BoxGuard guard;
    {
        const auto benchLock = LockAndSynchronise();
        // Taken before the bench's lock is released, so that no call that reads a later time can
        // act on this box before this one has.
        guard.lock = std::unique_lock<std::mutex>(box.m_mutex);
        guard.nowMs = m_nowMs;
        guard.open = m_open;
    }
    // Boxes that no other thread holds are brought along, so that the event log keeps up with
    // boxes that no call touches and stays in time order as far as these boxes go. The list is
    // kept per thread so that a report exchange allocates nothing once the thread has made one.
    thread_local std::vector<SimulatedIoBox*> boxes;
    boxes.clear();
    boxes.push_back(&box);
    for (const auto& other : m_boxes) {
        if (other.get() != &box && other->m_mutex.try_lock()) {
            boxes.push_back(other.get());
        }
    }
    const auto unlockIdleBoxes = [] {
        for (std::size_t i = 1; i < boxes.size(); ++i) {
            boxes[i]->m_mutex.unlock();
        }
        boxes.clear();
    };
    try {
        PlayInTimeOrder(boxes, guard.nowMs);
    } catch (...) {
        unlockIdleBoxes();
        throw;
    }
    unlockIdleBoxes();
    return guard;
}

void SimulatedBench::PlayInTimeOrder(const std::vector<SimulatedIoBox*>& boxes,
                                     std::uint64_t timeMs) {
    for (;;) {
        SimulatedIoBox* earliest = nullptr;
        std::uint64_t earliestMs = std::numeric_limits<std::uint64_t>::max();
        for (SimulatedIoBox* box : boxes) {
            const std::uint64_t eventMs = box->NextEventTime();
            if (eventMs < earliestMs) {
                earliestMs = eventMs;
                earliest = box;
            }
        }
        if (earliest == nullptr || earliestMs > timeMs) {
            return;
        }
        earliest->ProcessNextEvent();
    }
}

SimulatedIoBox* SimulatedBench::BoxOfHandle(IowHandle handle) const {
    if (handle == nullptr) {
        return nullptr;
    }
    for (const auto& box : m_boxes) {
        if (static_cast<IowHandle>(box.get()) == handle) {
            return box.get();
        }
    }
    return nullptr;
}

SimulatedBench::ControllerCall::ControllerCall(SimulatedBench& bench, IowHandle handle,
                                               std::string_view operation)
    : m_box(bench.BoxOfHandle(handle)) {
    if (m_box != nullptr && m_box->m_callsInProgress.fetch_add(1) != 0) {
        const auto guard = bench.LockBoxAndSynchronise(*m_box);
        m_box->ReportError(guard.nowMs, std::string(operation) +
                                            " while another call on the same controller has "
                                            "not returned");
    }
}

SimulatedBench::ControllerCall::~ControllerCall() {
    if (m_box != nullptr) {
        m_box->m_callsInProgress.fetch_sub(1);
    }
}

SimulatedIoBox* SimulatedBench::LockOpenBox(IowHandle handle, std::string_view operation,
                                            BoxGuard& guard) {
    SimulatedIoBox* box = BoxOfHandle(handle);
    if (box == nullptr) {
        return nullptr;
    }
    guard = LockBoxAndSynchronise(*box);
    if (!guard.open) {
        // A real library has freed the handle: whatever it would do with it is undefined.
        box->ReportError(guard.nowMs, std::string(operation) +
                                          " through the handle of a closed "
                                          "controller");
        return nullptr;
    }
    return box;
}

IowHandle SimulatedBench::OpenDevice() {
    const auto lock = LockAndSynchroniseAll();
    m_open = true;
    return m_boxes.empty() ? nullptr : static_cast<IowHandle>(m_boxes.front().get());
}

void SimulatedBench::CloseDevice(IowHandle /*handle*/) {
    const auto lock = LockAndSynchroniseAll();
    m_open = false;
}

std::int32_t SimulatedBench::GetNumDevs() {
    const auto lock = LockAndSynchroniseAll();
    return m_open ? static_cast<std::int32_t>(m_boxes.size()) : 0;
}

IowHandle SimulatedBench::GetDeviceHandle(std::int32_t numDevice) {
    const auto lock = LockAndSynchroniseAll();
    if (!m_open || numDevice < 1 || static_cast<std::size_t>(numDevice) > m_boxes.size()) {
        return nullptr;
    }
    return static_cast<IowHandle>(m_boxes[static_cast<std::size_t>(numDevice) - 1].get());
}

bool SimulatedBench::GetSerialNumber(IowHandle handle, char16_t* serialNumber) {
    const ControllerCall call(*this, handle, "serial number");
    BoxGuard guard;
    const SimulatedIoBox* box = LockOpenBox(handle, "serial number", guard);
    if (box == nullptr || serialNumber == nullptr) {
        return false;
    }
    const std::string& serial = box->Serial();
    for (std::size_t i = 0; i < kIowSerialLength; ++i) {
        serialNumber[i] = i < serial.size() ? static_cast<char16_t>(serial[i]) : u'\0';
    }
    serialNumber[kIowSerialLength] = u'\0';
    return true;
}

std::uint32_t SimulatedBench::GetProductId(IowHandle handle) {
    const ControllerCall call(*this, handle, "product id");
    BoxGuard guard;
    const SimulatedIoBox* box = LockOpenBox(handle, "product id", guard);
    return box == nullptr ? 0 : box->ProductId();
}

std::uint32_t SimulatedBench::Write(IowHandle handle, std::uint32_t pipe,
                                    const std::uint8_t* buffer, std::uint32_t length) {
    const ControllerCall call(*this, handle, "write");
    BoxGuard guard;
    SimulatedIoBox* box = LockOpenBox(handle, "write", guard);
    return box == nullptr ? 0 : box->HandleWrite(guard.nowMs, pipe, buffer, length);
}

std::uint32_t SimulatedBench::Read(IowHandle handle, std::uint32_t pipe, std::uint8_t* buffer,
                                   std::uint32_t length) {
    const ControllerCall call(*this, handle, "read");
    SimulatedIoBox::ReadOutcome outcome;
    {
        BoxGuard guard;
        SimulatedIoBox* box = LockOpenBox(handle, "read", guard);
        if (box == nullptr) {
            return 0;
        }
        outcome = box->HandleRead(guard.nowMs, pipe, buffer, length);
    }
    if (outcome.waitMs > 0) {
        m_clock.SleepMs(outcome.waitMs);
    }
    if (outcome.throws) {
        throw std::runtime_error("simulated IO-Warrior read failure");
    }
    return outcome.bytes;
}

void SimulatedBench::SetWriteTimeout(IowHandle handle, std::uint32_t timeoutMs) {
    const ControllerCall call(*this, handle, "write timeout");
    BoxGuard guard;
    if (SimulatedIoBox* box = LockOpenBox(handle, "write timeout", guard)) {
        box->HandleSetTimeout(guard.nowMs, TraceKind::SetWriteTimeout, timeoutMs);
    }
}

void SimulatedBench::SetTimeout(IowHandle handle, std::uint32_t timeoutMs) {
    const ControllerCall call(*this, handle, "read timeout");
    BoxGuard guard;
    if (SimulatedIoBox* box = LockOpenBox(handle, "read timeout", guard)) {
        box->HandleSetTimeout(guard.nowMs, TraceKind::SetReadTimeout, timeoutMs);
    }
}

SimulatedIoBox& SimulatedBench::Box(std::size_t index) {
    if (index >= m_boxes.size()) {
        throw std::out_of_range("the bench has no box number " + std::to_string(index));
    }
    return *m_boxes[index];
}

SimulatedIoBox* SimulatedBench::FindBox(int boxId) {
    for (const auto& box : m_boxes) {
        if (box->BoxId() == boxId) {
            return box.get();
        }
    }
    return nullptr;
}

std::uint64_t SimulatedBench::NowMs() {
    const auto lock = LockAndSynchroniseAll();
    return m_nowMs;
}

std::vector<ProtocolError> SimulatedBench::ProtocolErrors() {
    const auto lock = LockAndSynchroniseAll();
    std::vector<ProtocolError> errors;
    for (const auto& box : m_boxes) {
        const std::lock_guard boxLock(box->m_mutex);
        errors.insert(errors.end(), box->m_errors.begin(), box->m_errors.end());
    }
    std::stable_sort(
        errors.begin(), errors.end(),
        [](const ProtocolError& a, const ProtocolError& b) { return a.timeMs < b.timeMs; });
    return errors;
}

void SimulatedBench::SetTraceEnabled(bool enabled) {
    const auto lock = LockAndSynchronise();
    for (const auto& box : m_boxes) {
        const std::lock_guard boxLock(box->m_mutex);
        box->m_traceEnabled = enabled;
    }
}

bool SimulatedBench::IsOpen() {
    const auto lock = LockAndSynchroniseAll();
    return m_open;
}

}  // namespace zentrix::sim
