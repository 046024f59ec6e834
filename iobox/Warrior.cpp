#include "iobox/Warrior.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <optional>
#include <string>

#include "iobox/Port.h"
#include "platform/Log.h"

namespace {

using zentrix::IowHandle;

constexpr std::uint8_t kReportSpiEnable = 0x08;
constexpr std::uint8_t kReportSpiTransfer = 0x09;
constexpr std::uint8_t kReportReadPins = 0xFF;

// Pin report bytes: 2 is port 1 (re-arm line on bit 4), 4 is port 3 (select SDI 1..8), 5 is
// port 4 (select SDI 9..13, the IO box expanders on bit 6, the strobe on bit 7). All active low.
constexpr std::size_t kPort1Byte = 2;
constexpr std::size_t kPort3Byte = 4;
constexpr std::size_t kPort4Byte = 5;
constexpr std::uint8_t kRearmBit = 0x10;
constexpr std::uint8_t kSelectIOBoxLevels = 0xBF;
constexpr std::uint8_t kStrobeLevels = 0x7F;

constexpr std::uint32_t kTimeoutLadderMs[] = {1000, 1000, 10000, 10000};
constexpr std::uint32_t kReportSleepMs = 2;
constexpr std::uint32_t kLongestPinReportWaitUs = 100000;
// The longest library call while sampling threads run: how soon a stop ends a wait.
constexpr std::uint32_t kReplySliceMs = 250;
constexpr std::uint32_t kSlowDeviceSelectMs = 5;
constexpr std::uint32_t kRearmPulseMs = 1;
// The driver keeps at most 16 reports waiting, so no more can be late.
constexpr std::size_t kMaxLateReplies = 16;

constexpr std::uint8_t kConfigNormalOperation = 0x01;
constexpr std::uint8_t kFourOutputs = 0x55;
constexpr std::uint8_t kFourInputs = 0xAA;
constexpr std::uint8_t kFourInputsPullUp = 0xFF;

constexpr std::int32_t kIOBoxSelector = -1;
// The IO box's input expander has four level registers, so no pass reads more.
constexpr std::size_t kIOBoxReadCommandCount = 4;
constexpr std::int32_t kLastPortId = kTtlPortCount + kSdiPortCount;

struct DeviceRecord {
    IowHandle handle;
    std::int32_t ioBoxId;
    char16_t serialNumber[zentrix::kIowSerialLength + 2];
};

std::deque<DeviceRecord>& DeviceList() {
    static std::deque<DeviceRecord> list;
    return list;
}

std::uint8_t OutputRegisterOfPin(std::int32_t pin) {
    if (pin < 12) {
        return kIobRegPins4To11;
    }
    if (pin < 20) {
        return kIobRegPins12To19;
    }
    if (pin < 28) {
        return kIobRegPins20To27;
    }
    return kIobRegPins28To31;
}

std::uint8_t ReadCommandOfPin(std::int32_t pin) {
    return static_cast<std::uint8_t>(OutputRegisterOfPin(pin) | 0x80);
}

std::int32_t BitOfPin(std::int32_t pin) {
    return (pin - 4) % 8;
}

std::int32_t TtlPin(std::int32_t port, std::int32_t line) {
    return 2 * port + line + 1;
}
std::int32_t SdiPin(std::int32_t line) {
    return line + 3;
}

// Maps a box port id and line to the expander that serves it and the pin on it; false for port
// ids outside 1..25.
bool LocatePin(std::int32_t portId, std::int32_t line, std::int32_t& selector, std::int32_t& pin) {
    if (portId >= 1 && portId <= kTtlPortCount) {
        selector = kIOBoxSelector;
        pin = TtlPin(portId, line);
        return true;
    }
    if (portId > kTtlPortCount && portId <= kLastPortId) {
        selector = portId - kTtlPortCount;
        pin = SdiPin(line);
        return true;
    }
    return false;
}

std::string SerialText(const char16_t* serial) {
    std::string text;
    for (std::size_t i = 0; i < zentrix::kIowSerialLength && serial[i] != u'\0'; ++i) {
        text += serial[i] < 0x80 ? static_cast<char>(serial[i]) : '?';
    }
    return text.empty() ? std::string("(none)") : text;
}

std::string Hex(std::uint32_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text = "0x";
    for (int shift = 12; shift >= 0; shift -= 4) {
        text += kDigits[(value >> shift) & 0xF];
    }
    return text;
}

void LogFailedAttempt(const char* transfer, std::uint32_t pipe, std::uint32_t done,
                      std::uint32_t length, std::uint32_t timeoutMs, std::size_t attempt,
                      std::size_t attempts) noexcept {
    const bool last = attempt == attempts;
    zentrix::LogLazily(
        last ? zentrix::LogLevel::Warning : zentrix::LogLevel::Debug, "transfer", [&] {
            return std::string(transfer) + " on pipe " + std::to_string(pipe) + ": " +
                   std::to_string(done) + " of " + std::to_string(length) + " bytes within " +
                   std::to_string(timeoutMs) + " ms (attempt " + std::to_string(attempt) + " of " +
                   std::to_string(attempts) + (last ? "); giving up" : "); retrying");
        });
}

// A special-mode reply carries the report id of the request it answers, and an SPI transfer's
// reply also the request's byte count.
bool Answers(const std::uint8_t* reply, std::uint8_t reportId, std::uint8_t byteCount) {
    return reply[0] == reportId && (reportId != kReportSpiTransfer || reply[1] == byteCount);
}

void LogDiscardedReply(const std::uint8_t* reply, std::uint8_t reportId) noexcept {
    zentrix::LogLazily(zentrix::LogLevel::Debug, "transfer", [&] {
        return "discarded a special-mode reply with report id " + Hex(reply[0]) +
               " and byte count " + std::to_string(reply[1]) +
               ", which answers no request waiting for it (report id " + Hex(reportId) + ")";
    });
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

// The wait after a pin report, when ZENTRIX_PIN_REPORT_WAIT_US sets one (in microseconds, up to
// 100 ms) for measuring how short it may be through a driver that only submits writes; without it
// every report is followed by kReportSleepMs.
std::optional<std::uint32_t> PinReportWaitUs() {
    static const std::optional<std::uint32_t> waitUs = []() -> std::optional<std::uint32_t> {
        const char* text = std::getenv("ZENTRIX_PIN_REPORT_WAIT_US");
        if (text == nullptr || *text == '\0') {
            return std::nullopt;
        }
        char* end = nullptr;
        errno = 0;
        const unsigned long value = std::strtoul(text, &end, 10);
        if (errno != 0 || *end != '\0' || *text == '-' || value > kLongestPinReportWaitUs) {
            zentrix::Log(zentrix::LogLevel::Warning, "transfer",
                         std::string("ZENTRIX_PIN_REPORT_WAIT_US=") + text +
                             " is not a number of microseconds up to 100000; ignored");
            return std::nullopt;
        }
        zentrix::Log(zentrix::LogLevel::Info, "transfer",
                     "waiting " + std::to_string(value) +
                         " us after each pin report (ZENTRIX_PIN_REPORT_WAIT_US)");
        return static_cast<std::uint32_t>(value);
    }();
    return waitUs;
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

zentrix::ReplyWait TCHiIobWarrior::CurrentReplyWait() const {
    return m_pReplyWait != nullptr ? m_pReplyWait->load() : zentrix::ReplyWait::Whole;
}

std::uint32_t TCHiIobWarrior::WaitSliceMs(std::uint32_t leftMs) const {
    return CurrentReplyWait() == zentrix::ReplyWait::Whole ? leftMs
                                                           : std::min(leftMs, kReplySliceMs);
}

bool TCHiIobWarrior::WaitGoesOn(std::uint32_t attemptStartMs, std::uint32_t timeoutMs,
                                std::uint32_t sliceStartMs, std::uint32_t waitMs) const {
    const std::uint32_t now = m_clock.NowMs();
    // A library call that gave up before its wait was over failed the attempt, as without slices.
    return CurrentReplyWait() == zentrix::ReplyWait::Sliced && now - sliceStartMs >= waitMs &&
           now - attemptStartMs < timeoutMs;
}

bool TCHiIobWarrior::AbandonIfStopping(const char* transfer, std::uint32_t pipe,
                                       std::uint32_t startMs) {
    if (CurrentReplyWait() != zentrix::ReplyWait::Abandon) {
        return false;
    }
    // Waiting on would hold up the stop for the rest of the ladder, and the passes that follow
    // for a ladder each: the box counts as failed, as after a whole ladder.
    m_bAbandoned = true;
    zentrix::LogLazily(zentrix::LogLevel::Warning, "transfer", [&] {
        return std::string(transfer) + " on pipe " + std::to_string(pipe) + " given up after " +
               std::to_string(m_clock.NowMs() - startMs) +
               " ms without an answer, since sampling is being stopped; the controller's further "
               "transfers fail at once";
    });
    return true;
}

bool TCHiIobWarrior::WriteReport(IowHandle handle, std::uint32_t pipe, std::uint8_t* buffer,
                                 std::uint32_t length) {
    if (m_bAbandoned) {
        return false;
    }
    const std::uint32_t startMs = m_clock.NowMs();
    std::size_t attempt = 0;
    for (const std::uint32_t timeoutMs : kTimeoutLadderMs) {
        ++attempt;
        const std::uint32_t attemptStartMs = m_clock.NowMs();
        std::uint32_t written = 0;
        for (;;) {
            const std::uint32_t spentMs = m_clock.NowMs() - attemptStartMs;
            const std::uint32_t waitMs = WaitSliceMs(spentMs < timeoutMs ? timeoutMs - spentMs : 0);
            const std::uint32_t sliceStartMs = m_clock.NowMs();
            try {
                m_library.SetWriteTimeout(handle, waitMs);
                written = m_library.Write(handle, pipe, buffer, length);
            } catch (...) {
                // A write that breaks down counts as one that wrote nothing.
                written = 0;
                break;
            }
            if (written == length || !WaitGoesOn(attemptStartMs, timeoutMs, sliceStartMs, waitMs)) {
                break;
            }
        }
        if (const auto waitUs =
                pipe == zentrix::kIowPipeIoPins ? PinReportWaitUs() : std::nullopt) {
            m_clock.SleepUs(*waitUs);
        } else {
            m_clock.SleepMs(kReportSleepMs);
        }
        if (written == length) {
            return true;
        }
        if (AbandonIfStopping("write", pipe, startMs)) {
            return false;
        }
        LogFailedAttempt("write", pipe, written, length, timeoutMs, attempt,
                         std::size(kTimeoutLadderMs));
    }
    return false;
}

bool TCHiIobWarrior::ReadReport(IowHandle handle, std::uint32_t pipe, std::uint8_t* buffer,
                                std::uint32_t length) {
    return ReadReply(handle, pipe, buffer, length, nullptr);
}

bool TCHiIobWarrior::ReadReply(IowHandle handle, std::uint32_t pipe, std::uint8_t* buffer,
                               std::uint32_t length, const ReplyHeader* expected) {
    if (m_bAbandoned) {
        return false;
    }
    // A reply that answers another request is discarded and the buffer put back as it was, so
    // that a failed read leaves in it what it would have left without that reply.
    std::array<std::uint8_t, zentrix::kIow56SpecialReportSize> held{};
    const bool checked = expected != nullptr && length >= 2 && length <= held.size();
    if (checked) {
        std::copy_n(buffer, length, held.begin());
    }
    const std::uint32_t startMs = m_clock.NowMs();
    std::size_t discarded = 0;
    std::size_t attempt = 0;
    for (const std::uint32_t timeoutMs : kTimeoutLadderMs) {
        ++attempt;
        const std::uint32_t attemptStartMs = m_clock.NowMs();
        std::uint32_t read = 0;
        for (;;) {
            // Neither a slice nor a discarded reply ends the attempt: the wait goes on for what
            // is left of it.
            const std::uint32_t spentMs = m_clock.NowMs() - attemptStartMs;
            const std::uint32_t waitMs = WaitSliceMs(spentMs < timeoutMs ? timeoutMs - spentMs : 0);
            const std::uint32_t sliceStartMs = m_clock.NowMs();
            try {
                m_library.SetTimeout(handle, waitMs);
                read = m_library.Read(handle, pipe, buffer, length);
            } catch (const std::exception& error) {
                zentrix::LogLazily(zentrix::LogLevel::Warning, "transfer", [&] {
                    return "read on pipe " + std::to_string(pipe) + " broke down (" +
                           std::string(error.what()) + "); giving up";
                });
                return false;
            } catch (...) {
                zentrix::Log(zentrix::LogLevel::Warning, "transfer", "read broke down; giving up");
                return false;
            }
            if (read != length) {
                if (!WaitGoesOn(attemptStartMs, timeoutMs, sliceStartMs, waitMs)) {
                    break;
                }
                continue;
            }
            if (!checked || Answers(buffer, expected->reportId, expected->byteCount)) {
                break;
            }
            LogDiscardedReply(buffer, expected->reportId);
            std::copy_n(held.begin(), length, buffer);
            read = 0;
            // More stray replies than the driver can hold make the attempt fail, so that a
            // library that answers at once with them cannot keep the read going for ever.
            if (++discarded > kMaxLateReplies) {
                break;
            }
        }
        m_clock.SleepMs(kReportSleepMs);
        if (read == length) {
            return true;
        }
        if (AbandonIfStopping("read", pipe, startMs)) {
            return false;
        }
        LogFailedAttempt("read", pipe, read, length, timeoutMs, attempt,
                         std::size(kTimeoutLadderMs));
    }
    return false;
}

void TCHiIobWarrior::WritePinReport() {
    WriteReport(m_hDevice, zentrix::kIowPipeIoPins, m_abyIOReport, sizeof m_abyIOReport);
}

void TCHiIobWarrior::SelectIOBox() {
    m_abyIOReport[kPort3Byte] = 0xFF;
    m_abyIOReport[kPort4Byte] = kSelectIOBoxLevels;
    WritePinReport();
}

void TCHiIobWarrior::SelectPort(std::int32_t port) {
    if (port >= 1 && port <= 8) {
        m_abyIOReport[kPort3Byte] = static_cast<std::uint8_t>(~(1u << (port - 1)));
        m_abyIOReport[kPort4Byte] = 0xFF;
    } else if (port >= 9 && port <= 13) {
        m_abyIOReport[kPort3Byte] = 0xFF;
        m_abyIOReport[kPort4Byte] = static_cast<std::uint8_t>(~(1u << (port - 9)));
    } else {
        return;
    }
    m_bPortSelected = true;
    WritePinReport();
}

void TCHiIobWarrior::DeselectAll() {
    m_abyIOReport[kPort3Byte] = 0xFF;
    m_abyIOReport[kPort4Byte] = 0xFF;
    WritePinReport();
}

void TCHiIobWarrior::SetStrobe(bool active) {
    m_abyIOReport[kPort3Byte] = 0xFF;
    m_abyIOReport[kPort4Byte] = active ? kStrobeLevels : 0xFF;
    WritePinReport();
}

void TCHiIobWarrior::StrobeIfSelected() {
    if (m_bPortSelected) {
        SetStrobe(true);
        SetStrobe(false);
        m_bPortSelected = false;
    }
}

void TCHiIobWarrior::PulseRearmLine() {
    m_abyIOReport[kPort1Byte] = static_cast<std::uint8_t>(m_abyIOReport[kPort1Byte] & ~kRearmBit);
    WritePinReport();
    m_clock.SleepMs(kRearmPulseMs);
    m_abyIOReport[kPort1Byte] = static_cast<std::uint8_t>(m_abyIOReport[kPort1Byte] | kRearmBit);
    WritePinReport();
}

void TCHiIobWarrior::EnableSpi(bool enable) {
    std::memset(m_abySpecialReport, 0, sizeof m_abySpecialReport);
    m_abySpecialReport[0] = kReportSpiEnable;
    m_abySpecialReport[1] = enable ? 0x01 : 0x00;
    m_abySpecialReport[2] = 0x00;
    m_abySpecialReport[3] = 0xFF;
    WriteReport(m_hDevice, zentrix::kIowPipeSpecialMode, m_abySpecialReport,
                sizeof m_abySpecialReport);
}

bool TCHiIobWarrior::SpecialTransfer() {
    if (m_bAbandoned) {
        return false;
    }
    DiscardLateReplies();
    WriteReport(m_hDevice, zentrix::kIowPipeSpecialMode, m_abySpecialReport,
                sizeof m_abySpecialReport);
    const ReplyHeader expected{m_abySpecialReport[0], m_abySpecialReport[1]};
    const bool replied = ReadReply(m_hDevice, zentrix::kIowPipeSpecialMode, m_abySpecialReport,
                                   sizeof m_abySpecialReport, &expected);
    m_bReplyMayBeLate = !replied;
    return replied;
}

void TCHiIobWarrior::DiscardLateReplies() {
    if (!m_bReplyMayBeLate) {
        return;
    }
    m_bReplyMayBeLate = false;
    // A reply given up on may still arrive; read it out now, or every later request would take
    // the reply of the one before it.
    std::uint8_t late[zentrix::kIow56SpecialReportSize];
    for (std::size_t count = 0; count < kMaxLateReplies; ++count) {
        try {
            m_library.SetTimeout(m_hDevice, 0);
            if (m_library.Read(m_hDevice, zentrix::kIowPipeSpecialMode, late, sizeof late) !=
                sizeof late) {
                break;
            }
        } catch (...) {
            break;
        }
        zentrix::LogLazily(zentrix::LogLevel::Debug, "transfer",
                           [] { return std::string("discarded a late special-mode reply"); });
    }
}

bool TCHiIobWarrior::SpiTransfer(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3,
                                 std::uint8_t b4) {
    std::memset(m_abySpecialReport, 0, sizeof m_abySpecialReport);
    m_abySpecialReport[0] = kReportSpiTransfer;
    m_abySpecialReport[1] = 0x04;
    m_abySpecialReport[3] = b1;
    m_abySpecialReport[4] = b2;
    m_abySpecialReport[5] = b3;
    m_abySpecialReport[6] = b4;
    return SpecialTransfer();
}

bool TCHiIobWarrior::SpiTransfer(std::uint8_t b1, std::uint8_t b2) {
    std::memset(m_abySpecialReport, 0, sizeof m_abySpecialReport);
    m_abySpecialReport[0] = kReportSpiTransfer;
    m_abySpecialReport[1] = 0x02;
    m_abySpecialReport[3] = b1;
    m_abySpecialReport[4] = b2;
    return SpecialTransfer();
}

bool TCHiIobWarrior::ReadPins() {
    std::memset(m_abySpecialReport, 0, sizeof m_abySpecialReport);
    m_abySpecialReport[0] = kReportReadPins;
    return SpecialTransfer();
}

std::uint8_t TCHiIobWarrior::GetSpecialReportByte(std::size_t index) const {
    return index < sizeof m_abySpecialReport ? m_abySpecialReport[index] : 0;
}

void TCHiIobWarrior::WriteIOBoxRegister(std::uint8_t reg, std::uint8_t value) {
    SelectIOBox();
    SpiTransfer(0x00, 0x00, reg, value);
    DeselectAll();
}

bool TCHiIobWarrior::ReadIOBoxRegister(std::uint8_t readCommand, std::uint8_t& value) {
    SelectIOBox();
    const bool commandSent = SpiTransfer(readCommand, 0x00, 0x00, 0x00);
    DeselectAll();
    SelectIOBox();
    const bool replyRead = SpiTransfer(0x00, 0x00, 0x00, 0x00);
    DeselectAll();
    value = m_abySpecialReport[3];
    return commandSent && replyRead;
}

bool TCHiIobWarrior::ReadIOBoxRegisters(const std::uint8_t* readCommands,
                                        std::uint8_t* const* values, std::size_t count) {
    for (std::size_t frame = 0; frame <= count; ++frame) {
        SelectIOBox();
        const bool ok = SpiTransfer(frame < count ? readCommands[frame] : 0x00, 0x00, 0x00, 0x00);
        DeselectAll();
        if (!ok) {
            return false;
        }
        if (frame > 0) {
            *values[frame - 1] = m_abySpecialReport[3];
        }
    }
    return true;
}

void TCHiIobWarrior::ConfigureIOBoxExpanders() {
    SelectIOBox();
    SpiTransfer(kIobRegConfiguration, kConfigNormalOperation, kIobRegConfiguration,
                kConfigNormalOperation);
    for (std::uint8_t reg = 0x09; reg <= 0x0E; ++reg) {
        SpiTransfer(reg, kFourInputs, reg, kFourOutputs);
    }
    SpiTransfer(0x0F, kFourInputsPullUp, 0x0F, kFourOutputs);
    DeselectAll();
}

void TCHiIobWarrior::ConfigurePortExpander(std::int32_t port) {
    SelectPort(port);
    SpiTransfer(kIobRegConfiguration, kConfigNormalOperation);
    for (std::uint8_t reg = 0x09; reg <= 0x0F; ++reg) {
        SpiTransfer(reg, kFourOutputs);
    }
    DeselectAll();
}

void TCHiIobWarrior::PrimeSlowDevice(std::int32_t port) {
    for (int round = 0; round < 2; ++round) {
        LatchSlowDevice(port);
    }
}

bool TCHiIobWarrior::LatchSlowDevice(std::int32_t port) {
    SelectPort(port);
    m_clock.SleepMs(kSlowDeviceSelectMs);
    DeselectAll();
    return SpiTransfer(0, 0, 0, 0);
}

void TCHiIobWarrior::Configure(const TCHiIobPortLines& ttlOutputs,
                               const TCHiIobPortLines& sdiOutputs,
                               const TCHiIobPortLines& ttlInputs, const TCHiIobPortLines& sdiInputs,
                               const TCHiIobSlowDevices& slowDevices,
                               const std::vector<std::int32_t>& sdiExpanderPorts,
                               const std::vector<std::int32_t>& slowDevicePorts,
                               double lickometerFrequency) {
    EnableSpi(true);
    ConfigureIOBoxExpanders();
    for (const std::int32_t port : sdiExpanderPorts) {
        ConfigurePortExpander(port);
    }
    RegisterOutputs(ttlOutputs, sdiOutputs);
    RegisterInputs(ttlInputs, sdiInputs, slowDevices);
    for (const std::int32_t port : slowDevicePorts) {
        PrimeSlowDevice(port);
    }
    // Whole frequency units times 1000 ms, clamped so that a huge registry value cannot overflow.
    const double wholeUnits = std::trunc(lickometerFrequency);
    constexpr double kMaxPeriod = std::numeric_limits<std::uint32_t>::max();
    double periodMs = wholeUnits * 1000.0;
    if (!(periodMs >= 0.0)) {
        periodMs = 0.0;
    }
    m_pSlowDeviceTimer->SetPeriod(static_cast<std::uint32_t>(std::min(periodMs, kMaxPeriod)));
    m_pSlowDeviceTimer->Restart();
}

void TCHiIobWarrior::Unconfigure() {
    EnableSpi(false);
}

void TCHiIobWarrior::RegisterOutputs(const TCHiIobPortLines& ttlOutputs,
                                     const TCHiIobPortLines& sdiOutputs) {
    m_mapOutputs.clear();
    for (const auto& [port, line] : ttlOutputs) {
        m_mapOutputs[kIOBoxSelector].try_emplace(OutputRegisterOfPin(TtlPin(port, line)));
    }
    for (const auto& [port, line] : sdiOutputs) {
        m_mapOutputs[port].try_emplace(OutputRegisterOfPin(SdiPin(line)));
    }
}

void TCHiIobWarrior::RegisterInputs(const TCHiIobPortLines& ttlInputs,
                                    const TCHiIobPortLines& sdiInputs,
                                    const TCHiIobSlowDevices& slowDevices) {
    m_mapInputs.clear();
    for (const auto& [port, line] : ttlInputs) {
        m_mapInputs[kIOBoxSelector].try_emplace(ReadCommandOfPin(TtlPin(port, line)), 0xFF);
    }
    for (const auto& [port, line] : sdiInputs) {
        m_mapInputs[port].try_emplace(ReadCommandOfPin(SdiPin(line)), 0xFF);
    }
    m_mapSlowDevices.clear();
    for (const auto& [port, count] : slowDevices) {
        // A reply has at most 62 bytes after its two header bytes.
        const auto size = static_cast<std::size_t>(std::clamp(count, 0, 62));
        m_mapSlowDevices.try_emplace(port, size, 0);
    }
}

bool TCHiIobWarrior::SetOutput(std::int32_t portId, std::int32_t line, bool level,
                               std::int32_t durationMs) {
    std::int32_t selector = 0;
    std::int32_t pin = 0;
    if (!LocatePin(portId, line, selector, pin)) {
        return true;
    }
    const auto registers = m_mapOutputs.find(selector);
    if (registers == m_mapOutputs.end()) {
        return true;
    }
    const auto found = registers->second.find(OutputRegisterOfPin(pin));
    if (found == registers->second.end()) {
        return true;
    }
    OutputEntry& entry = found->second;
    const std::int32_t bit = BitOfPin(pin);
    if (durationMs < 1) {
        const auto mask = static_cast<std::uint8_t>(1u << bit);
        entry.current =
            static_cast<std::uint8_t>(level ? (entry.current | mask) : (entry.current & ~mask));
        return true;
    }
    const auto waiting = entry.waitingPulses.find(bit);
    const bool queueBehind = entry.pulses.count(bit) != 0 ||
                             (waiting != entry.waitingPulses.end() && !waiting->second.empty());
    if (!queueBehind) {
        StartPulse(entry, bit, level, durationMs);
        return true;
    }
    std::deque<Pulse>& queue = waiting != entry.waitingPulses.end()
                                   ? waiting->second
                                   : entry.waitingPulses.try_emplace(bit).first->second;
    if (queue.size() >= kMaxWaitingPulses) {
        return false;
    }
    Pulse pulse;
    pulse.restoreLevel = level ? 0 : 1;
    pulse.durationMs = durationMs;
    queue.push_back(pulse);
    return true;
}

void TCHiIobWarrior::StartPulse(OutputEntry& entry, std::int32_t bit, bool level,
                                std::int32_t durationMs) {
    // The pulse goes in before the level changes, so that a failed allocation changes nothing.
    Pulse& pulse = entry.pulses.insert_or_assign(bit, Pulse{}).first->second;
    pulse.restoreLevel = level ? 0 : 1;
    pulse.durationMs = durationMs;
    const auto mask = static_cast<std::uint8_t>(1u << bit);
    entry.current =
        static_cast<std::uint8_t>(level ? (entry.current | mask) : (entry.current & ~mask));
    // A pulse that changes nothing in the register would never be written, so its timer would
    // never start and the line would stay blocked for further pulses: start it now instead.
    if (entry.current == entry.lastWritten) {
        pulse.startMs = m_clock.NowMs();
        pulse.started = true;
    }
}

std::size_t TCHiIobWarrior::EndDuePulses(OutputEntry& entry, bool forceEnd) {
    std::size_t dropped = 0;
    for (auto it = entry.waitingPulses.begin(); it != entry.waitingPulses.end();) {
        std::deque<Pulse>& queue = it->second;
        if (forceEnd) {
            dropped += queue.size();
            queue.clear();
        } else if (!queue.empty() && entry.pulses.count(it->first) == 0) {
            // The pulse before this one ended in an earlier pass, whose write left the line at its
            // resting level.
            const Pulse next = queue.front();
            StartPulse(entry, it->first, next.restoreLevel == 0, next.durationMs);
            queue.pop_front();
        }
        if (queue.empty()) {
            it = entry.waitingPulses.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = entry.pulses.begin(); it != entry.pulses.end();) {
        Pulse& pulse = it->second;
        if (!pulse.started) {
            ++it;
            continue;
        }
        const std::uint32_t elapsed = m_clock.NowMs() - pulse.startMs;
        if (forceEnd || elapsed >= static_cast<std::uint32_t>(pulse.durationMs)) {
            const auto mask = static_cast<std::uint8_t>(1u << it->first);
            entry.current = static_cast<std::uint8_t>(
                pulse.restoreLevel != 0 ? (entry.current | mask) : (entry.current & ~mask));
            it = entry.pulses.erase(it);
        } else {
            ++it;
        }
    }
    return dropped;
}

void TCHiIobWarrior::WriteRegister(std::int32_t selector, std::uint8_t reg, std::uint8_t value) {
    if (selector == kIOBoxSelector) {
        WriteIOBoxRegister(reg, value);
    } else {
        SelectPort(selector);
        SpiTransfer(reg, value);
        DeselectAll();
    }
}

void TCHiIobWarrior::WriteOutputs(bool onlyChanged, bool forceEndPulses) {
    std::size_t dropped = 0;
    for (auto& [selector, registers] : m_mapOutputs) {
        for (auto& [reg, entry] : registers) {
            dropped += EndDuePulses(entry, forceEndPulses);
            if (onlyChanged && entry.current == entry.lastWritten) {
                continue;
            }
            WriteRegister(selector, reg, entry.current);
            if (!entry.pulses.empty()) {
                const std::uint32_t now = m_clock.NowMs();
                for (auto& [bit, pulse] : entry.pulses) {
                    if (!pulse.started) {
                        pulse.startMs = now;
                        pulse.started = true;
                    }
                }
            }
            entry.lastWritten = entry.current;
        }
    }
    StrobeIfSelected();
    if (dropped != 0) {
        zentrix::LogLazily(zentrix::LogLevel::Warning, "iobox", [dropped] {
            return std::to_string(dropped) +
                   " pulse command(s) still waiting behind a running pulse were dropped as the "
                   "outputs went to their final state";
        });
    }
}

bool TCHiIobWarrior::ReadSlowDevices() {
    const bool due = m_pSlowDeviceTimer->IsDue();
    bool ok = true;
    for (auto& [port, bytes] : m_mapSlowDevices) {
        if (due) {
            ok = LatchSlowDevice(port) && ok;
            // Even a failed transfer stores what the buffer holds.
            for (std::size_t i = 0; i < bytes.size(); ++i) {
                bytes[i] = m_abySpecialReport[2 + i];
            }
        } else {
            std::fill(bytes.begin(), bytes.end(), std::uint8_t{0});
        }
    }
    return ok;
}

bool TCHiIobWarrior::DiscardSlowDeviceCounts() {
    bool ok = true;
    for (auto& [port, bytes] : m_mapSlowDevices) {
        ok = LatchSlowDevice(port) && ok;
        std::fill(bytes.begin(), bytes.end(), std::uint8_t{0});
    }
    m_pSlowDeviceTimer->Restart();
    return ok;
}

bool TCHiIobWarrior::ReadInputs(bool onlyChanged) {
    bool ok = true;
    m_pInterrupt->Invalidate();
    const auto boxInputs = m_mapInputs.find(kIOBoxSelector);
    if (boxInputs != m_mapInputs.end()) {
        std::array<std::uint8_t, kIOBoxReadCommandCount> readCommands{};
        std::array<std::uint8_t*, kIOBoxReadCommandCount> values{};
        std::size_t count = 0;
        for (auto& [readCommand, current] : boxInputs->second) {
            if (onlyChanged && !m_pInterrupt->HasChanged(readCommand)) {
                continue;
            }
            readCommands[count] = readCommand;
            values[count] = &current;
            ++count;
        }
        ok = count == 0 || ReadIOBoxRegisters(readCommands.data(), values.data(), count);
    }
    ok = ReadSlowDevices() && ok;
    StrobeIfSelected();
    return ok;
}

bool TCHiIobWarrior::GetOutputBit(std::int32_t portId, std::int32_t line) const {
    std::int32_t selector = 0;
    std::int32_t pin = 0;
    if (!LocatePin(portId, line, selector, pin)) {
        return false;
    }
    const auto registers = m_mapOutputs.find(selector);
    if (registers == m_mapOutputs.end()) {
        return false;
    }
    const auto found = registers->second.find(OutputRegisterOfPin(pin));
    if (found == registers->second.end()) {
        return false;
    }
    return ((found->second.current >> BitOfPin(pin)) & 1u) != 0;
}

bool TCHiIobWarrior::GetInputBit(std::int32_t portId, std::int32_t line) const {
    std::int32_t selector = 0;
    std::int32_t pin = 0;
    if (!LocatePin(portId, line, selector, pin)) {
        return false;
    }
    const auto registers = m_mapInputs.find(selector);
    if (registers == m_mapInputs.end()) {
        return false;
    }
    const auto found = registers->second.find(ReadCommandOfPin(pin));
    if (found == registers->second.end()) {
        return false;
    }
    return ((found->second >> BitOfPin(pin)) & 1u) != 0;
}

std::uint8_t TCHiIobWarrior::GetSlowDeviceByte(std::int32_t portId, std::int32_t valueIndex) const {
    const auto found = m_mapSlowDevices.find(portId - kTtlPortCount);
    if (found == m_mapSlowDevices.end()) {
        return 0;
    }
    // The device shifts out its duration before its count; value indexes name the count first.
    static constexpr std::size_t kReplyIndexOfValue[] = {2, 3, 0, 1};
    if (valueIndex < 0 || valueIndex >= 4) {
        return 0;
    }
    const std::size_t mapped = kReplyIndexOfValue[valueIndex];
    const std::vector<std::uint8_t>& bytes = found->second;
    return mapped < bytes.size() ? bytes[mapped] : 0;
}

void TCHiIobWarrior::ResetOutputs() {
    for (auto& [selector, registers] : m_mapOutputs) {
        for (auto& [reg, entry] : registers) {
            entry.lastWritten = 0;
            entry.current = 0;
            entry.pulses.clear();
            entry.waitingPulses.clear();
        }
    }
}

void TCHiIobWarrior::ResetInputs() {
    for (auto& [selector, registers] : m_mapInputs) {
        for (auto& [readCommand, current] : registers) {
            current = 0xFF;
        }
    }
    for (auto& [port, bytes] : m_mapSlowDevices) {
        std::fill(bytes.begin(), bytes.end(), std::uint8_t{0});
    }
    m_pInterrupt->Rearm();
}
