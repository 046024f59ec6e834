#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <string>

#include "iobox/Warrior.h"
#include "iobox/WarriorProtocol.h"
#include "platform/Clock.h"
#include "platform/Log.h"

namespace {

using zentrix::IowHandle;
using namespace zentrix::warrior;

constexpr std::uint32_t kTimeoutLadderMs[] = {1000, 1000, 10000, 10000};
// The longest library call while sampling threads run: how soon a stop ends a wait.
constexpr std::uint32_t kReplySliceMs = 250;

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

}  // namespace

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
    WaitForPins();
    m_nReportStartUs = m_clock.NowUs();
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
        if (written == length) {
            m_nReportEndUs = m_clock.NowUs();
        }
        WaitAfterReport(pipe, written == length);
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
        if (read == length) {
            m_nReportEndUs = m_clock.NowUs();
        }
        WaitAfterReport(pipe, read == length);
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

void TCHiIobWarrior::WaitAfterReport(std::uint32_t pipe, bool transferred) {
    if (transferred) {
        zentrix::CountReportOfThisThread();
    }
    const auto pinWaitUs =
        pipe == zentrix::kIowPipeIoPins ? zentrix::PinReportWaitUsFromEnvironment() : std::nullopt;
    if (m_eTiming == zentrix::Timing::Lean && transferred) {
        // A reply that was read is complete; only a pin report may still be on its way to the
        // pins, and only the next report depends on its having arrived.
        if (pipe == zentrix::kIowPipeIoPins && pinWaitUs.value_or(0) != 0) {
            m_nPinReportUs = m_clock.NowUs();
            m_nPinWaitUs = *pinWaitUs;
        }
        return;
    }
    if (pinWaitUs) {
        m_clock.SleepUs(*pinWaitUs);
    } else {
        m_clock.SleepMs(zentrix::kSpecReportWaitMs);
    }
}

void TCHiIobWarrior::WaitForPins() {
    if (m_nPinWaitUs == 0) {
        return;
    }
    const std::uint64_t dueUs = m_nPinReportUs + m_nPinWaitUs;
    m_nPinWaitUs = 0;
    const std::uint64_t nowUs = m_clock.NowUs();
    if (nowUs < dueUs) {
        m_clock.SleepUs(static_cast<std::uint32_t>(dueUs - nowUs));
    }
}
