// An IO-Warrior library that forwards every call to another one and watches the traffic: how
// often the library was opened and closed, calls for one controller that overlap, which threads
// made calls. It can hold one call until the test releases it, and make calls throw.
#ifndef ZENTRIX_TESTS_SUPPORT_WATCHINGLIBRARY_H
#define ZENTRIX_TESTS_SUPPORT_WATCHINGLIBRARY_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "platform/Clock.h"
#include "platform/IoWarriorLibrary.h"

namespace zentrix::testing {

// A number for the calling thread that no later thread reuses (thread ids can be reused).
inline int ThreadTag() {
    static std::atomic<int> next{1};
    thread_local const int tag = next.fetch_add(1);
    return tag;
}

class WatchingLibrary final : public IoWarriorLibrary {
public:
    explicit WatchingLibrary(IoWarriorLibrary& inner) : m_inner(inner) {}

    std::atomic<int> opens{0};
    std::atomic<int> closes{0};
    std::atomic<bool> throwOnClose{false};
    std::atomic<bool> throwOnTransfer{false};

    // The next report exchange made by a thread other than `except` waits until Release.
    void HoldNextTransfer(std::thread::id except) {
        const std::lock_guard lock(m_mutex);
        m_holdArmed = true;
        m_holdExcept = except;
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

    // Calls that began while another call for the same controller was still running.
    int Overlaps() {
        const std::lock_guard lock(m_mutex);
        return m_overlaps;
    }
    // Calls that began while a call was held.
    int CallsWhileHeld() {
        const std::lock_guard lock(m_mutex);
        return m_callsWhileHeld;
    }
    // Report exchanges per calling thread, by ThreadTag.
    std::map<int, int> TransfersByThread() {
        const std::lock_guard lock(m_mutex);
        return m_transfersByThread;
    }

    IowHandle OpenDevice() override {
        ++opens;
        return m_inner.OpenDevice();
    }
    void CloseDevice(IowHandle handle) override {
        ++closes;
        if (throwOnClose) {
            throw std::runtime_error("close failed");
        }
        m_inner.CloseDevice(handle);
    }
    std::int32_t GetNumDevs() override { return m_inner.GetNumDevs(); }
    IowHandle GetDeviceHandle(std::int32_t number) override {
        return m_inner.GetDeviceHandle(number);
    }
    bool GetSerialNumber(IowHandle handle, char16_t* serial) override {
        const Call call(*this, handle, false);
        return m_inner.GetSerialNumber(handle, serial);
    }
    std::uint32_t GetProductId(IowHandle handle) override {
        const Call call(*this, handle, false);
        return m_inner.GetProductId(handle);
    }
    std::uint32_t Write(IowHandle handle, std::uint32_t pipe, const std::uint8_t* buffer,
                        std::uint32_t length) override {
        const Call call(*this, handle, true);
        return m_inner.Write(handle, pipe, buffer, length);
    }
    std::uint32_t Read(IowHandle handle, std::uint32_t pipe, std::uint8_t* buffer,
                       std::uint32_t length) override {
        const Call call(*this, handle, true);
        return m_inner.Read(handle, pipe, buffer, length);
    }
    void SetWriteTimeout(IowHandle handle, std::uint32_t ms) override {
        const Call call(*this, handle, false);
        m_inner.SetWriteTimeout(handle, ms);
    }
    void SetTimeout(IowHandle handle, std::uint32_t ms) override {
        const Call call(*this, handle, false);
        m_inner.SetTimeout(handle, ms);
    }

private:
    // Counts one call for its whole length; holds it first when a hold is armed for it.
    class Call {
    public:
        Call(WatchingLibrary& library, IowHandle handle, bool transfer)
            : m_library(library), m_handle(handle) {
            std::unique_lock lock(library.m_mutex);
            if (library.m_holding) {
                ++library.m_callsWhileHeld;
            }
            if (library.m_inFlight[handle]++ > 0) {
                ++library.m_overlaps;
            }
            if (!transfer) {
                return;
            }
            ++library.m_transfersByThread[ThreadTag()];
            if (library.m_holdArmed && std::this_thread::get_id() != library.m_holdExcept) {
                library.m_holdArmed = false;
                library.m_holding = true;
                library.m_changed.notify_all();
                library.m_changed.wait(lock, [&library] { return library.m_released; });
                library.m_holding = false;
            }
            if (library.throwOnTransfer) {
                --library.m_inFlight[handle];
                throw std::runtime_error("transfer failed");
            }
        }
        ~Call() {
            const std::lock_guard lock(m_library.m_mutex);
            --m_library.m_inFlight[m_handle];
        }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;

    private:
        WatchingLibrary& m_library;
        IowHandle m_handle;
    };

    IoWarriorLibrary& m_inner;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<IowHandle, int> m_inFlight;
    int m_overlaps = 0;
    int m_callsWhileHeld = 0;
    std::map<int, int> m_transfersByThread;
    bool m_holdArmed = false;
    bool m_holding = false;
    bool m_released = false;
    std::thread::id m_holdExcept;
};

// A clock that forwards to another one and can be told to throw from its sleep.
class ThrowingClock final : public Clock {
public:
    explicit ThrowingClock(Clock& inner) : m_inner(inner) {}

    // Sleeps that throw from now on: a number, or -1 for all of them.
    std::atomic<int> throwingSleeps{0};

    std::uint32_t NowMs() override { return m_inner.NowMs(); }
    void SleepMs(std::uint32_t milliseconds) override {
        int left = throwingSleeps.load();
        while (left != 0) {
            if (left < 0 || throwingSleeps.compare_exchange_weak(left, left - 1)) {
                throw std::runtime_error("clock failed");
            }
        }
        m_inner.SleepMs(milliseconds);
    }

private:
    Clock& m_inner;
};

}  // namespace zentrix::testing

#endif
