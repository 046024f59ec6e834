// Calls for different controllers may overlap, calls for one controller may not: the simulator
// lets the first through and records the second as a protocol error of that box.
#include <gtest/gtest.h>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "BenchFixture.h"

namespace {

using zentrix::kIow56PinReportSize;
using zentrix::kIow56SpecialReportSize;
using zentrix::kIowPipeIoPins;
using zentrix::kIowPipeSpecialMode;
using zentrix::sim::BenchConfig;
using zentrix::sim::BoxConfig;
using zentrix::sim::SimulatedBench;

// Virtual time whose next sleep waits until the test releases it, so that a read that waits for
// its timeout stays inside the library for as long as the test needs.
class GateClock final : public zentrix::Clock {
public:
    std::uint32_t NowMs() override { return m_time.NowMs(); }
    void SleepMs(std::uint32_t milliseconds) override {
        {
            std::unique_lock lock(m_mutex);
            if (m_armed) {
                m_armed = false;
                m_holding = true;
                m_changed.notify_all();
                m_changed.wait(lock, [this] { return m_released; });
                m_holding = false;
            }
        }
        m_time.SleepMs(milliseconds);
    }

    void HoldNextSleep() {
        const std::lock_guard lock(m_mutex);
        m_armed = true;
        m_released = false;
    }
    void WaitUntilHeld() {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_holding; });
    }
    void Release() {
        {
            const std::lock_guard lock(m_mutex);
            m_released = true;
        }
        m_changed.notify_all();
    }

private:
    zentrix::VirtualClock m_time;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_armed = false;
    bool m_holding = false;
    bool m_released = false;
};

BenchConfig TwoBoxes() {
    BenchConfig config;
    for (int id = 1; id <= 2; ++id) {
        BoxConfig box;
        box.boxId = id;
        config.boxes.push_back(box);
    }
    return config;
}

class ConcurrentCalls : public ::testing::Test {
protected:
    ConcurrentCalls() {
        bench.OpenDevice();
        first = bench.GetDeviceHandle(1);
        second = bench.GetDeviceHandle(2);
        bench.SetTimeout(first, 20);
    }

    // Starts a read on the first controller that waits for its timeout until the test releases
    // it; the read has no reply to deliver, so it waits without any fault of its own.
    std::thread ReadWaitingOnTheFirstController() {
        clock.HoldNextSleep();
        std::thread reader([this] {
            std::array<std::uint8_t, kIow56SpecialReportSize> reply{};
            bench.Read(first, kIowPipeSpecialMode, reply.data(),
                       static_cast<std::uint32_t>(reply.size()));
        });
        clock.WaitUntilHeld();
        return reader;
    }

    std::uint32_t WritePins(zentrix::IowHandle handle) {
        std::array<std::uint8_t, kIow56PinReportSize> pins{0x00, 0xFF, 0xFF, 0xFF,
                                                           0xFF, 0xFF, 0xFF, 0xFF};
        return bench.Write(handle, kIowPipeIoPins, pins.data(),
                           static_cast<std::uint32_t>(pins.size()));
    }

    GateClock clock;
    SimulatedBench bench{TwoBoxes(), clock};
    zentrix::IowHandle first = nullptr;
    zentrix::IowHandle second = nullptr;
};

TEST_F(ConcurrentCalls, ACallOnAnotherControllerWhileOneWaitsIsFine) {
    std::thread reader = ReadWaitingOnTheFirstController();
    EXPECT_EQ(WritePins(second), kIow56PinReportSize);
    clock.Release();
    reader.join();
    EXPECT_NO_PROTOCOL_ERRORS(bench);
}

TEST_F(ConcurrentCalls, TwoCallsOnOneControllerAtOnceAreAProtocolError) {
    std::thread reader = ReadWaitingOnTheFirstController();
    WritePins(first);
    clock.Release();
    reader.join();
    const auto errors = bench.ProtocolErrors();
    ASSERT_EQ(errors.size(), 1u) << zentrix::sim::testing::DescribeErrors(bench);
    EXPECT_EQ(errors[0].boxId, 1);
    EXPECT_NE(errors[0].text.find("write while another call on the same controller"),
              std::string::npos)
        << errors[0].text;

    // Once the first call has returned, the controller takes calls again.
    bench.Box(0).ClearProtocolErrors();
    WritePins(first);
    EXPECT_NO_PROTOCOL_ERRORS(bench);
}

}  // namespace
