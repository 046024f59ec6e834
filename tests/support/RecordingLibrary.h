// An IO-Warrior library for byte-exact tests of the hardware layer: it records every call in
// order and answers reads from a script (by default a reply of the right length to the last
// special-mode report written).
#ifndef ZENTRIX_TESTS_SUPPORT_RECORDINGLIBRARY_H
#define ZENTRIX_TESTS_SUPPORT_RECORDINGLIBRARY_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/IoWarriorLibrary.h"

namespace zentrix::testing {

struct LibraryCall {
    std::string what;  // "write", "read", "timeout", "write-timeout"
    std::uint32_t pipe = 0;
    std::vector<std::uint8_t> bytes;
    std::uint32_t value = 0;
    std::uint32_t atMs = 0;
};

// What the next read on pipe 1 answers: the bytes to deliver (the rest of the buffer is left
// alone), how many bytes to report, or an exception; and how long on the clock the read takes.
struct ScriptedRead {
    std::vector<std::uint8_t> bytes;
    std::uint32_t count = 64;
    bool raise = false;
    std::uint32_t waitMs = 0;
};

class RecordingLibrary final : public IoWarriorLibrary {
public:
    explicit RecordingLibrary(Clock& clock) : m_clock(clock) {}

    std::vector<LibraryCall> calls;
    std::deque<ScriptedRead> reads;
    // Answers a read when the script is empty: a reply of the full length, port levels all high.
    // A full reply then gets the header of the special-mode report it answers, as the controller
    // sends it: that report's id and, for an SPI transfer, its byte count.
    std::function<std::uint32_t(std::uint8_t*, std::uint32_t)> defaultRead;
    std::int32_t controllers = 1;
    std::uint32_t productId = kIoWarrior56ProductId;

    IowHandle OpenDevice() override { return controllers > 0 ? Handle(1) : nullptr; }
    void CloseDevice(IowHandle) override { ++closeCount; }
    std::int32_t GetNumDevs() override { return controllers; }
    IowHandle GetDeviceHandle(std::int32_t number) override {
        return number >= 1 && number <= controllers ? Handle(number) : nullptr;
    }
    bool GetSerialNumber(IowHandle, char16_t* serial) override {
        std::memcpy(serial, u"00001234", 9 * sizeof(char16_t));
        return true;
    }
    std::uint32_t GetProductId(IowHandle) override { return productId; }
    std::uint32_t Write(IowHandle, std::uint32_t pipe, const std::uint8_t* buffer,
                        std::uint32_t length) override {
        calls.push_back({"write", pipe, {buffer, buffer + length}, length, m_clock.NowMs()});
        if (pipe == kIowPipeSpecialMode && length >= 2) {
            m_lastSpecialId = buffer[0];
            m_lastSpecialCount = buffer[1];
        }
        return length;
    }
    std::uint32_t Read(IowHandle, std::uint32_t pipe, std::uint8_t* buffer,
                       std::uint32_t length) override {
        calls.push_back({"read", pipe, {}, length, m_clock.NowMs()});
        if (!reads.empty()) {
            ScriptedRead next = reads.front();
            reads.pop_front();
            if (next.waitMs != 0) {
                m_clock.SleepMs(next.waitMs);
            }
            if (next.raise) {
                throw std::runtime_error("transport broke down");
            }
            if (!next.bytes.empty()) {
                std::memcpy(buffer, next.bytes.data(),
                            std::min<std::size_t>(next.bytes.size(), length));
            }
            return next.count;
        }
        std::uint32_t count = length;
        if (defaultRead) {
            count = defaultRead(buffer, length);
        } else {
            std::memset(buffer, 0xFF, length);
        }
        if (pipe == kIowPipeSpecialMode && count == length && length >= 2) {
            buffer[0] = m_lastSpecialId;
            if (m_lastSpecialId == kSpiTransferId) {
                buffer[1] = m_lastSpecialCount;
            }
        }
        return count;
    }
    void SetWriteTimeout(IowHandle, std::uint32_t ms) override {
        calls.push_back({"write-timeout", 0, {}, ms, m_clock.NowMs()});
    }
    void SetTimeout(IowHandle, std::uint32_t ms) override {
        calls.push_back({"timeout", 0, {}, ms, m_clock.NowMs()});
    }

    // Only the report exchanges, as "w0 00 ff ..." / "r1" lines, with the leading bytes of each
    // special report that matter (the rest is zero padding).
    std::vector<std::string> Reports(std::size_t specialBytes = 7) const {
        std::vector<std::string> out;
        for (const LibraryCall& call : calls) {
            if (call.what == "read") {
                out.push_back("r" + std::to_string(call.pipe));
            } else if (call.what == "write") {
                std::ostringstream line;
                line << "w" << call.pipe;
                const std::size_t n = call.pipe == 0 ? call.bytes.size() : specialBytes;
                for (std::size_t i = 0; i < n && i < call.bytes.size(); ++i) {
                    char hex[4];
                    std::snprintf(hex, sizeof hex, " %02X", call.bytes[i]);
                    line << hex;
                }
                out.push_back(line.str());
            }
        }
        return out;
    }

    int closeCount = 0;

private:
    static IowHandle Handle(std::int32_t number) {
        return reinterpret_cast<IowHandle>(static_cast<std::uintptr_t>(0x1000 + number));
    }

    static constexpr std::uint8_t kSpiTransferId = 0x09;

    Clock& m_clock;
    std::uint8_t m_lastSpecialId = 0xFF;
    std::uint8_t m_lastSpecialCount = 0;
};

}  // namespace zentrix::testing

#endif
