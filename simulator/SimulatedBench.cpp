#include "simulator/SimulatedBench.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

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
    SynchroniseLocked();
    return lock;
}

void SimulatedBench::SynchroniseLocked() {
    const std::uint32_t clockMs = m_clock.NowMs();
    const auto elapsedMs = static_cast<std::uint32_t>(clockMs - m_lastClockMs);
    m_lastClockMs = clockMs;
    // A step of half the counter's range or more can only be the clock being set back.
    const std::uint64_t targetMs = m_nowMs + (elapsedMs < kClockSetBackMs ? elapsedMs : 0);
    for (;;) {
        SimulatedIoBox* earliest = nullptr;
        std::uint64_t earliestMs = std::numeric_limits<std::uint64_t>::max();
        for (const auto& box : m_boxes) {
            const std::uint64_t eventMs = box->NextEventTime();
            if (eventMs < earliestMs) {
                earliestMs = eventMs;
                earliest = box.get();
            }
        }
        if (earliest == nullptr || earliestMs > targetMs) {
            break;
        }
        earliest->ProcessNextEvent();
    }
    m_nowMs = targetMs;
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
        const auto lock = bench.LockAndSynchronise();
        m_box->ReportError(bench.m_nowMs, std::string(operation) +
                                              " while another call on the same controller has "
                                              "not returned");
    }
}

SimulatedBench::ControllerCall::~ControllerCall() {
    if (m_box != nullptr) {
        m_box->m_callsInProgress.fetch_sub(1);
    }
}

SimulatedIoBox* SimulatedBench::FindOpenBox(IowHandle handle, std::string_view operation) {
    if (handle == nullptr) {
        return nullptr;
    }
    for (const auto& box : m_boxes) {
        if (static_cast<IowHandle>(box.get()) != handle) {
            continue;
        }
        if (!m_open) {
            // A real library has freed the handle: whatever it would do with it is undefined.
            box->ReportError(m_nowMs, std::string(operation) +
                                          " through the handle of a closed "
                                          "controller");
            return nullptr;
        }
        return box.get();
    }
    return nullptr;
}

IowHandle SimulatedBench::OpenDevice() {
    const auto lock = LockAndSynchronise();
    m_open = true;
    return m_boxes.empty() ? nullptr : static_cast<IowHandle>(m_boxes.front().get());
}

void SimulatedBench::CloseDevice(IowHandle /*handle*/) {
    const auto lock = LockAndSynchronise();
    m_open = false;
}

std::int32_t SimulatedBench::GetNumDevs() {
    const auto lock = LockAndSynchronise();
    return m_open ? static_cast<std::int32_t>(m_boxes.size()) : 0;
}

IowHandle SimulatedBench::GetDeviceHandle(std::int32_t numDevice) {
    const auto lock = LockAndSynchronise();
    if (!m_open || numDevice < 1 || static_cast<std::size_t>(numDevice) > m_boxes.size()) {
        return nullptr;
    }
    return static_cast<IowHandle>(m_boxes[static_cast<std::size_t>(numDevice) - 1].get());
}

bool SimulatedBench::GetSerialNumber(IowHandle handle, char16_t* serialNumber) {
    const ControllerCall call(*this, handle, "serial number");
    const auto lock = LockAndSynchronise();
    const SimulatedIoBox* box = FindOpenBox(handle, "serial number");
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
    const auto lock = LockAndSynchronise();
    const SimulatedIoBox* box = FindOpenBox(handle, "product id");
    return box == nullptr ? 0 : box->ProductId();
}

std::uint32_t SimulatedBench::Write(IowHandle handle, std::uint32_t pipe,
                                    const std::uint8_t* buffer, std::uint32_t length) {
    const ControllerCall call(*this, handle, "write");
    const auto lock = LockAndSynchronise();
    SimulatedIoBox* box = FindOpenBox(handle, "write");
    return box == nullptr ? 0 : box->HandleWrite(m_nowMs, pipe, buffer, length);
}

std::uint32_t SimulatedBench::Read(IowHandle handle, std::uint32_t pipe, std::uint8_t* buffer,
                                   std::uint32_t length) {
    const ControllerCall call(*this, handle, "read");
    SimulatedIoBox::ReadOutcome outcome;
    {
        const auto lock = LockAndSynchronise();
        SimulatedIoBox* box = FindOpenBox(handle, "read");
        if (box == nullptr) {
            return 0;
        }
        outcome = box->HandleRead(m_nowMs, pipe, buffer, length);
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
    const auto lock = LockAndSynchronise();
    if (SimulatedIoBox* box = FindOpenBox(handle, "write timeout")) {
        box->HandleSetTimeout(m_nowMs, TraceKind::SetWriteTimeout, timeoutMs);
    }
}

void SimulatedBench::SetTimeout(IowHandle handle, std::uint32_t timeoutMs) {
    const ControllerCall call(*this, handle, "read timeout");
    const auto lock = LockAndSynchronise();
    if (SimulatedIoBox* box = FindOpenBox(handle, "read timeout")) {
        box->HandleSetTimeout(m_nowMs, TraceKind::SetReadTimeout, timeoutMs);
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
    const auto lock = LockAndSynchronise();
    return m_nowMs;
}

std::vector<ProtocolError> SimulatedBench::ProtocolErrors() {
    const auto lock = LockAndSynchronise();
    std::vector<ProtocolError> errors;
    for (const auto& box : m_boxes) {
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
        box->m_traceEnabled = enabled;
    }
}

bool SimulatedBench::IsOpen() {
    const auto lock = LockAndSynchronise();
    return m_open;
}

}  // namespace zentrix::sim
