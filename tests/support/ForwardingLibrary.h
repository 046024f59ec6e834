// An IO-Warrior library that passes every call on to another one; a test double derives from it
// and overrides only the calls it watches or changes.
#ifndef ZENTRIX_TESTS_SUPPORT_FORWARDINGLIBRARY_H
#define ZENTRIX_TESTS_SUPPORT_FORWARDINGLIBRARY_H

#include <cstdint>

#include "platform/IoWarriorLibrary.h"

namespace zentrix::testing {

class ForwardingLibrary : public IoWarriorLibrary {
public:
    // Not owned; outlives this.
    explicit ForwardingLibrary(IoWarriorLibrary& inner) : m_inner(inner) {}

    IowHandle OpenDevice() override { return m_inner.OpenDevice(); }
    void CloseDevice(IowHandle handle) override { m_inner.CloseDevice(handle); }
    std::int32_t GetNumDevs() override { return m_inner.GetNumDevs(); }
    IowHandle GetDeviceHandle(std::int32_t number) override {
        return m_inner.GetDeviceHandle(number);
    }
    bool GetSerialNumber(IowHandle handle, char16_t* serial) override {
        return m_inner.GetSerialNumber(handle, serial);
    }
    std::uint32_t GetProductId(IowHandle handle) override { return m_inner.GetProductId(handle); }
    std::uint32_t Write(IowHandle handle, std::uint32_t pipe, const std::uint8_t* buffer,
                        std::uint32_t length) override {
        return m_inner.Write(handle, pipe, buffer, length);
    }
    std::uint32_t Read(IowHandle handle, std::uint32_t pipe, std::uint8_t* buffer,
                       std::uint32_t length) override {
        return m_inner.Read(handle, pipe, buffer, length);
    }
    void SetWriteTimeout(IowHandle handle, std::uint32_t ms) override {
        m_inner.SetWriteTimeout(handle, ms);
    }
    void SetTimeout(IowHandle handle, std::uint32_t ms) override { m_inner.SetTimeout(handle, ms); }

private:
    IoWarriorLibrary& m_inner;
};

}  // namespace zentrix::testing

#endif
