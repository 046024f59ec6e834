#include "iobox/Warrior.h"

#include <cstring>
#include <deque>
#include <string>

#include "iobox/WarriorProtocol.h"
#include "platform/Log.h"

namespace zentrix::warrior {

std::string Hex(std::uint32_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text = "0x";
    for (int shift = 12; shift >= 0; shift -= 4) {
        text += kDigits[(value >> shift) & 0xF];
    }
    return text;
}

void LogDiscardedReply(const std::uint8_t* reply, std::uint8_t reportId) noexcept {
    zentrix::LogLazily(zentrix::LogLevel::Debug, "transfer", [&] {
        return "discarded a special-mode reply with report id " + Hex(reply[0]) +
               " and byte count " + std::to_string(reply[1]) +
               ", which answers no request waiting for it (report id " + Hex(reportId) + ")";
    });
}

}  // namespace zentrix::warrior

namespace {

using zentrix::IowHandle;
using zentrix::warrior::Hex;
using zentrix::warrior::kMaxLateReplies;
using zentrix::warrior::kReportReadPins;
using zentrix::warrior::LogDiscardedReply;

struct DeviceRecord {
    IowHandle handle;
    std::int32_t ioBoxId;
    char16_t serialNumber[zentrix::kIowSerialLength + 2];
};

std::deque<DeviceRecord>& DeviceList() {
    static std::deque<DeviceRecord> list;
    return list;
}

std::string SerialText(const char16_t* serial) {
    std::string text;
    for (std::size_t i = 0; i < zentrix::kIowSerialLength && serial[i] != u'\0'; ++i) {
        text += serial[i] < 0x80 ? static_cast<char>(serial[i]) : '?';
    }
    return text.empty() ? std::string("(none)") : text;
}

// Reads the number the box reports on its port 2 pins; straight library calls, no retries.
std::int32_t ReadIOBoxId(zentrix::IoWarriorLibrary& library, IowHandle handle) {
    std::uint8_t buffer[zentrix::kIow56SpecialReportSize] = {};
    buffer[0] = kReportReadPins;
    try {
        library.Write(handle, zentrix::kIowPipeSpecialMode, buffer, sizeof buffer);
        for (std::size_t discarded = 0;; ++discarded) {
            const bool full = library.Read(handle, zentrix::kIowPipeSpecialMode, buffer,
                                           sizeof buffer) == sizeof buffer;
            if (!full || buffer[0] == kReportReadPins) {
                break;
            }
            // A reply to another request, left waiting by an earlier user of the controller:
            // its byte 3 is no box id.
            LogDiscardedReply(buffer, kReportReadPins);
            std::memset(buffer, 0, sizeof buffer);
            if (discarded == kMaxLateReplies) {
                break;
            }
        }
    } catch (...) {
        // A controller that breaks down while identifying itself reads as whatever the buffer
        // kept, like a read that delivered nothing.
        zentrix::Log(zentrix::LogLevel::Warning, "discovery",
                     "reading a controller's IO box id broke down; taking the id as 0");
    }
    return buffer[3];
}

}  // namespace

TCHiIobWarrior::TCHiIobWarrior(IowHandle device, zentrix::IoWarriorLibrary& library,
                               zentrix::Clock& clock)
    : m_hDevice(device),
      m_library(library),
      m_clock(clock),
      m_pInterrupt(std::make_unique<TCHiIobInterrupt>(this)),
      m_pSlowDeviceTimer(std::make_unique<TCHiIobSlowDeviceTimer>(clock)) {}

TCHiIobWarrior::~TCHiIobWarrior() = default;

bool TCHiIobWarrior::EnumerateDevices(zentrix::IoWarriorLibrary& library) {
    std::deque<DeviceRecord>& list = DeviceList();
    list.clear();
    if (library.OpenDevice() == nullptr) {
        zentrix::Log(zentrix::LogLevel::Info, "discovery", "no IO-Warrior controller opened");
        library.CloseDevice(nullptr);
        return false;
    }
    const std::int32_t count = library.GetNumDevs();
    for (std::int32_t number = 1; number <= count; ++number) {
        DeviceRecord record{};
        record.handle = library.GetDeviceHandle(number);
        library.GetSerialNumber(record.handle, record.serialNumber);
        record.ioBoxId = ReadIOBoxId(library, record.handle);
        const std::uint32_t productId = library.GetProductId(record.handle);
        const bool accepted = productId == zentrix::kIoWarrior56ProductId;
        const zentrix::LogLevel level =
            accepted ? zentrix::LogLevel::Info : zentrix::LogLevel::Warning;
        zentrix::LogLazily(level, "discovery", [&] {
            return "controller " + std::to_string(number) + " of " + std::to_string(count) +
                   ": serial " + SerialText(record.serialNumber) + ", product id " +
                   Hex(productId) + ", IO box id " + std::to_string(record.ioBoxId) +
                   (accepted ? std::string()
                             : "; skipped: not an IO-Warrior 56 (" +
                                   Hex(zentrix::kIoWarrior56ProductId) + ")");
        });
        if (accepted) {
            list.push_back(record);
        }
    }
    return true;
}

std::vector<std::int32_t> TCHiIobWarrior::GetIOBoxIds() {
    std::vector<std::int32_t> ids;
    for (const DeviceRecord& record : DeviceList()) {
        ids.push_back(record.ioBoxId);
    }
    return ids;
}

IowHandle TCHiIobWarrior::GetDeviceHandle(std::int32_t ioBoxId) {
    for (const DeviceRecord& record : DeviceList()) {
        if (record.ioBoxId == ioBoxId) {
            return record.handle;
        }
    }
    return nullptr;
}

void TCHiIobWarrior::CloseDevices(zentrix::IoWarriorLibrary& library) {
    library.CloseDevice(nullptr);
}
