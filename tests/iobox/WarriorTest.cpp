// Byte-exact tests of the IO-Warrior access layer against a recording library on virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "iobox/Warrior.h"
#include "support/LogFile.h"
#include "support/RecordingLibrary.h"

namespace {

using zentrix::VirtualClock;
using zentrix::testing::RecordingLibrary;
using zentrix::testing::ScriptedRead;
using Lines = std::vector<std::string>;

// A reply to a read-pins report with the given port 1 levels.
ScriptedRead PinsReply(std::uint8_t port1, std::uint8_t port2 = 0) {
    std::vector<std::uint8_t> bytes(64, 0);
    bytes[0] = 0xFF;
    bytes[1] = 0xFF;
    bytes[2] = port1;
    bytes[3] = port2;
    return {bytes, 64, false};
}

ScriptedRead SpiReply(std::vector<std::uint8_t> data) {
    std::vector<std::uint8_t> bytes(64, 0);
    bytes[0] = 0x09;
    bytes[1] = static_cast<std::uint8_t>(data.size());
    std::copy(data.begin(), data.end(), bytes.begin() + 2);
    return {bytes, 64, false};
}

class WarriorTest : public ::testing::Test {
protected:
    WarriorTest() : library(clock), warrior(library.GetDeviceHandle(1), library, clock) {
        // With no interrupt line active, a read-pins reply leaves every group unflagged.
        library.defaultRead = [](std::uint8_t* buffer, std::uint32_t length) {
            std::fill(buffer, buffer + length, std::uint8_t{0xFF});
            return length;
        };
    }

    Lines Reports() { return library.Reports(); }
    void Forget() { library.calls.clear(); }

    VirtualClock clock{1000};
    RecordingLibrary library;
    TCHiIobWarrior warrior;
};

TEST_F(WarriorTest, PinOperationsRewriteTheWholePinReport) {
    warrior.SelectPort(9);
    warrior.SelectPort(8);
    warrior.SelectIOBox();
    warrior.SetStrobe(true);
    warrior.DeselectAll();
    EXPECT_EQ(Reports(), (Lines{
                             "w0 00 FF FF FF FF FE FF FF",
                             "w0 00 FF FF FF 7F FF FF FF",
                             "w0 00 FF FF FF FF BF FF FF",
                             "w0 00 FF FF FF FF 7F FF FF",
                             "w0 00 FF FF FF FF FF FF FF",
                         }));
    // Every exchange costs 2 ms.
    EXPECT_EQ(clock.NowMs(), 1010u);
}

TEST_F(WarriorTest, StrobeFollowsOnlyAPortSelection) {
    warrior.SelectIOBox();
    warrior.StrobeIfSelected();
    EXPECT_EQ(Reports().size(), 1u);
    warrior.SelectPort(13);
    warrior.StrobeIfSelected();
    warrior.StrobeIfSelected();
    EXPECT_EQ(Reports(), (Lines{
                             "w0 00 FF FF FF FF BF FF FF",
                             "w0 00 FF FF FF FF EF FF FF",
                             "w0 00 FF FF FF FF 7F FF FF",
                             "w0 00 FF FF FF FF FF FF FF",
                         }));
}

TEST_F(WarriorTest, RegisterReadTakesTheReplyOfTheSecondTransfer) {
    library.reads.push_back(SpiReply({0, 0, 0, 0}));
    library.reads.push_back(SpiReply({0xCC, 0x5A, 0, 0}));
    std::uint8_t value = 0;
    EXPECT_TRUE(warrior.ReadIOBoxRegister(0xCC, value));
    EXPECT_EQ(value, 0x5A);
    EXPECT_EQ(Reports(), (Lines{
                             "w0 00 FF FF FF FF BF FF FF",
                             "w1 09 04 00 CC 00 00 00",
                             "r1",
                             "w0 00 FF FF FF FF FF FF FF",
                             "w0 00 FF FF FF FF BF FF FF",
                             "w1 09 04 00 00 00 00 00",
                             "r1",
                             "w0 00 FF FF FF FF FF FF FF",
                         }));
}

TEST_F(WarriorTest, ReadRetriesWithTheTimeoutLadder) {
    for (int i = 0; i < 3; ++i) {
        library.reads.push_back({{}, 10, false});
    }
    library.reads.push_back(SpiReply({1, 2, 3, 4}));
    std::uint8_t buffer[64] = {};
    EXPECT_TRUE(warrior.ReadReport(warrior.GetHandle(), 1, buffer, 64));
    std::vector<std::uint32_t> timeouts;
    std::vector<std::string> order;
    for (const auto& call : library.calls) {
        order.push_back(call.what);
        if (call.what == "timeout") {
            timeouts.push_back(call.value);
        }
    }
    EXPECT_EQ(timeouts, (std::vector<std::uint32_t>{1000, 1000, 10000, 10000}));
    EXPECT_EQ(order,
              (Lines{"timeout", "read", "timeout", "read", "timeout", "read", "timeout", "read"}));
    EXPECT_EQ(buffer[2], 1);

    // Four short reads fail; an exception ends the ladder at once.
    Forget();
    for (int i = 0; i < 4; ++i) {
        library.reads.push_back({{}, 0, false});
    }
    EXPECT_FALSE(warrior.ReadReport(warrior.GetHandle(), 1, buffer, 64));
    Forget();
    library.reads.push_back({{}, 0, true});
    EXPECT_FALSE(warrior.ReadReport(warrior.GetHandle(), 1, buffer, 64));
    EXPECT_EQ(Reports(), Lines{"r1"});
}

std::vector<std::uint32_t> TimeoutsSet(const RecordingLibrary& library) {
    std::vector<std::uint32_t> timeouts;
    for (const auto& call : library.calls) {
        if (call.what == "timeout") {
            timeouts.push_back(call.value);
        }
    }
    return timeouts;
}

TEST_F(WarriorTest, AReplyToAnotherRequestIsDiscardedAndTheWaitGoesOnForWhatIsLeft) {
    // A reply of another report id, then one with another byte count, before the right ones.
    library.reads.push_back(SpiReply({1, 2, 3, 4}));
    library.reads.push_back(PinsReply(0xFF, 0x2A));
    EXPECT_TRUE(warrior.ReadPins());
    EXPECT_EQ(warrior.GetSpecialReportByte(3), 0x2A);
    library.reads.push_back({SpiReply({0xC4, 0x11}).bytes, 64, false, 300});
    library.reads.push_back(SpiReply({0xC4, 0x5A, 0, 0}));
    EXPECT_TRUE(warrior.SpiTransfer(0, 0, 0, 0));
    EXPECT_EQ(warrior.GetSpecialReportByte(3), 0x5A);
    // The 300 ms that the stray reply took count against the attempt.
    EXPECT_EQ(TimeoutsSet(library), (std::vector<std::uint32_t>{1000, 1000, 1000, 700}));
    EXPECT_EQ(Reports(), (Lines{"w1 FF 00 00 00 00 00 00", "r1", "r1", "w1 09 04 00 00 00 00 00",
                                "r1", "r1"}));
}

TEST_F(WarriorTest, ALateReplyOfAnotherReportIdAfterAGivenUpReadShiftsNothing) {
    warrior.RegisterInputs({{1, 1}}, {}, {});
    // The register read gives up: its reply comes only after the whole ladder.
    library.reads.push_back(SpiReply({0, 0, 0, 0}));
    for (int i = 0; i < 4; ++i) {
        library.reads.push_back({{}, 0, false});
    }
    std::uint8_t value = 0;
    EXPECT_FALSE(warrior.ReadIOBoxRegister(0xC4, value));
    // It is still on its way when the next request reads out what may be waiting, and arrives
    // just before the reply to that request.
    Forget();
    library.reads.push_back({{}, 0, false});
    library.reads.push_back(SpiReply({0xC4, 0x00, 0, 0}));
    library.reads.push_back(PinsReply(0xBF, 0x05));
    EXPECT_TRUE(warrior.ReadPins());
    EXPECT_EQ(warrior.GetSpecialReportByte(2), 0xBF);
    EXPECT_EQ(warrior.GetSpecialReportByte(3), 0x05);
    EXPECT_EQ(Reports(), (Lines{"r1", "w1 FF 00 00 00 00 00 00", "r1", "r1"}));
    // Nothing is left behind: the next register read takes its own replies.
    Forget();
    library.reads.push_back(SpiReply({0, 0, 0, 0}));
    library.reads.push_back(SpiReply({0xC4, 0xFE, 0, 0}));
    EXPECT_TRUE(warrior.ReadIOBoxRegister(0xC4, value));
    EXPECT_EQ(value, 0xFE);
    EXPECT_TRUE(library.reads.empty());
}

TEST_F(WarriorTest, MoreStrayRepliesThanTheDriverHoldsFailTheAttemptWithTheBufferKept) {
    // The first attempt discards 16 and fails at the 17th; each later attempt at its first.
    for (int i = 0; i < 17 + 3; ++i) {
        library.reads.push_back(PinsReply(0x00, 0x00));
    }
    EXPECT_FALSE(warrior.SpiTransfer(0x11, 0x22, 0x33, 0x44));
    // What the buffer held is kept, as after reads that delivered nothing.
    EXPECT_EQ(warrior.GetSpecialReportByte(0), 0x09);
    EXPECT_EQ(warrior.GetSpecialReportByte(3), 0x11);
    EXPECT_TRUE(library.reads.empty());
    EXPECT_EQ(TimeoutsSet(library).size(), 17u + 3u);
}

// A box that does not answer: every read waits the whole timeout last set, or until the reply
// time when one is given; sampling begins to be stopped at the stop time when one is given.
class SilentBoxTest : public WarriorTest {
protected:
    SilentBoxTest() {
        warrior.WatchReplyWait(&replyWait);
        library.defaultRead = [this](std::uint8_t* buffer, std::uint32_t length) {
            const std::uint32_t timeout = TimeoutsSet(library).back();
            const std::uint32_t now = clock.NowMs();
            if (stopAtMs != 0 && stopAtMs - now <= timeout) {
                replyWait = zentrix::ReplyWait::Abandon;
            }
            if (replyAtMs != 0 && replyAtMs - now <= timeout) {
                clock.Set(replyAtMs);
                std::fill(buffer, buffer + length, std::uint8_t{0x5A});
                return length;
            }
            clock.Advance(timeout);
            return 0u;
        };
    }

    std::atomic<zentrix::ReplyWait> replyWait{zentrix::ReplyWait::Sliced};
    std::uint32_t replyAtMs = 0;
    std::uint32_t stopAtMs = 0;
};

TEST_F(SilentBoxTest, WhileSamplingThreadsRunTheLadderWaitsInSlicesForAsLongAsEver) {
    const std::uint32_t start = clock.NowMs();
    EXPECT_FALSE(warrior.SpiTransfer(1, 2, 3, 4));
    // The write's 2 ms, then 1 + 1 + 10 + 10 s of waiting and the 2 ms after each attempt.
    EXPECT_EQ(clock.NowMs() - start, 2u + 22000u + 4 * 2u);
    const std::vector<std::uint32_t> timeouts = TimeoutsSet(library);
    EXPECT_EQ(timeouts.size(), 4u + 4u + 40u + 40u);
    EXPECT_TRUE(std::all_of(timeouts.begin(), timeouts.end(),
                            [](std::uint32_t timeout) { return timeout == 250; }));
    EXPECT_FALSE(warrior.WasAbandoned());

    // A reply late in the last attempt still counts.
    Forget();
    replyAtMs = clock.NowMs() + 2 + 21000;
    EXPECT_TRUE(warrior.SpiTransfer(1, 2, 3, 4));
    EXPECT_EQ(warrior.GetSpecialReportByte(3), 0x5A);
}

TEST_F(SilentBoxTest, AStopEndsTheWaitWithinASliceAndLaterTransfersFailAtOnce) {
    warrior.RegisterInputs({{1, 1}}, {}, {});
    // The stop comes 12.1 s into the ladder, in its third attempt.
    stopAtMs = clock.NowMs() + 2 + 12100;
    EXPECT_FALSE(warrior.ReadPins());
    EXPECT_TRUE(warrior.WasAbandoned());
    EXPECT_LE(clock.NowMs() - stopAtMs, 250u + 2u);
    // Nothing more reaches the controller, and nothing waits.
    Forget();
    const std::uint32_t abandoned = clock.NowMs();
    EXPECT_FALSE(warrior.ReadInputs(false));
    EXPECT_FALSE(warrior.SpiTransfer(1, 2));
    warrior.DeselectAll();
    warrior.Unconfigure();
    EXPECT_TRUE(library.calls.empty());
    EXPECT_EQ(clock.NowMs(), abandoned);
}

TEST_F(SilentBoxTest, ABoxThatAnswersIsNotGivenUpWhileSamplingIsBeingStopped) {
    replyWait = zentrix::ReplyWait::Abandon;
    replyAtMs = clock.NowMs() + 2 + 240;
    EXPECT_TRUE(warrior.SpiTransfer(1, 2, 3, 4));
    EXPECT_FALSE(warrior.WasAbandoned());
}

TEST_F(SilentBoxTest, OnTheHostsThreadEachAttemptIsOneReadWithItsWholeTimeout) {
    replyWait = zentrix::ReplyWait::Whole;
    EXPECT_FALSE(warrior.ReadPins());
    EXPECT_EQ(TimeoutsSet(library), (std::vector<std::uint32_t>{1000, 1000, 10000, 10000}));
}

TEST_F(WarriorTest, ConfigureSetsUpBothExpanderPairsAndThePorts) {
    warrior.Configure({}, {{2, 1}}, {}, {}, {}, {2}, {}, 2.9);
    EXPECT_EQ(Reports(), (Lines{
                             "w1 08 01 00 FF 00 00 00",    "w0 00 FF FF FF FF BF FF FF",
                             "w1 09 04 00 04 01 04 01",    "r1",
                             "w1 09 04 00 09 AA 09 55",    "r1",
                             "w1 09 04 00 0A AA 0A 55",    "r1",
                             "w1 09 04 00 0B AA 0B 55",    "r1",
                             "w1 09 04 00 0C AA 0C 55",    "r1",
                             "w1 09 04 00 0D AA 0D 55",    "r1",
                             "w1 09 04 00 0E AA 0E 55",    "r1",
                             "w1 09 04 00 0F FF 0F 55",    "r1",
                             "w0 00 FF FF FF FF FF FF FF", "w0 00 FF FF FF FD FF FF FF",
                             "w1 09 02 00 04 01 00 00",    "r1",
                             "w1 09 02 00 09 55 00 00",    "r1",
                             "w1 09 02 00 0A 55 00 00",    "r1",
                             "w1 09 02 00 0B 55 00 00",    "r1",
                             "w1 09 02 00 0C 55 00 00",    "r1",
                             "w1 09 02 00 0D 55 00 00",    "r1",
                             "w1 09 02 00 0E 55 00 00",    "r1",
                             "w1 09 02 00 0F 55 00 00",    "r1",
                             "w0 00 FF FF FF FF FF FF FF",
                         }));
    EXPECT_EQ(warrior.GetSlowDeviceTimer().GetPeriod(), 2000u);
    warrior.Configure({}, {}, {}, {}, {}, {}, {}, 0.5);
    EXPECT_EQ(warrior.GetSlowDeviceTimer().GetPeriod(), 0u);
    // A frequency too large for the 32-bit clock caps the period instead of overflowing.
    warrior.Configure({}, {}, {}, {}, {}, {}, {}, 4294967295.0);
    EXPECT_EQ(warrior.GetSlowDeviceTimer().GetPeriod(), 0xFFFFFFFFu);
}

TEST_F(WarriorTest, PrimingASlowDeviceSelectsWaitsAndTransfersTwice) {
    warrior.PrimeSlowDevice(3);
    EXPECT_EQ(Reports(), (Lines{
                             "w0 00 FF FF FF FB FF FF FF",
                             "w0 00 FF FF FF FF FF FF FF",
                             "w1 09 04 00 00 00 00 00",
                             "r1",
                             "w0 00 FF FF FF FB FF FF FF",
                             "w0 00 FF FF FF FF FF FF FF",
                             "w1 09 04 00 00 00 00 00",
                             "r1",
                         }));
    // Two rounds of: select 2 + wait 5 + deselect 2 + transfer 2 + reply 2.
    EXPECT_EQ(clock.NowMs(), 1000u + 2 * 13);
}

TEST_F(WarriorTest, InterruptFilterReadsLinesOncePerPassAndRearmsOnlyWhenActive) {
    TCHiIobInterrupt& filter = warrior.GetInterrupt();
    library.reads.push_back(PinsReply(0xFF));
    filter.Invalidate();
    EXPECT_FALSE(filter.HasChanged(0xC4));
    EXPECT_FALSE(filter.HasChanged(0xCC));
    EXPECT_FALSE(filter.HasChanged(0xD4));
    EXPECT_TRUE(filter.HasChanged(0xDC));
    EXPECT_EQ(Reports(), (Lines{"w1 FF 00 00 00 00 00 00", "r1"}));

    // The re-arm also clears what changed after the read, so every group needs reading.
    Forget();
    library.reads.push_back(PinsReply(0x9F));
    filter.Invalidate();
    EXPECT_TRUE(filter.HasChanged(0xC4));
    EXPECT_TRUE(filter.HasChanged(0xCC));
    EXPECT_TRUE(filter.HasChanged(0xD4));
    EXPECT_EQ(filter.GetLatchedLines(), 0x60);
    EXPECT_EQ(Reports(), (Lines{
                             "w1 FF 00 00 00 00 00 00",
                             "r1",
                             "w0 00 FF EF FF FF FF FF FF",
                             "w0 00 FF FF FF FF FF FF FF",
                         }));

    // A failed pin read leaves byte 2 at zero: every group counts as changed.
    Forget();
    for (int i = 0; i < 4; ++i) {
        library.reads.push_back({{}, 0, false});
    }
    filter.Invalidate();
    EXPECT_TRUE(filter.HasChanged(0xD4));
}

TEST_F(WarriorTest, SlowDeviceTimerIsDueOnlyAfterMoreThanAPeriodAcrossTheWrap) {
    clock.Set(0xFFFFFC00u);
    TCHiIobSlowDeviceTimer& timer = warrior.GetSlowDeviceTimer();
    timer.SetPeriod(2000);
    timer.Restart();
    clock.Advance(2000);
    EXPECT_FALSE(timer.IsDue());
    clock.Advance(1);
    EXPECT_TRUE(timer.IsDue());
    EXPECT_FALSE(timer.IsDue());
    clock.Advance(2001);
    EXPECT_TRUE(timer.IsDue());

    timer.SetPeriod(0);
    EXPECT_FALSE(timer.IsDue());
    clock.Advance(1);
    EXPECT_TRUE(timer.IsDue());
}

TEST_F(WarriorTest, OutputWritesSendOnlyChangedRegisters) {
    warrior.RegisterOutputs({{3, 1}, {12, 2}}, {{1, 1}});
    warrior.SetOutput(3, 1, true, 0);
    EXPECT_TRUE(warrior.GetOutputBit(3, 1));
    EXPECT_FALSE(warrior.GetOutputBit(3, 2));
    warrior.WriteOutputs(true, false);
    EXPECT_EQ(Reports(), (Lines{
                             "w0 00 FF FF FF FF BF FF FF",
                             "w1 09 04 00 00 00 44 10",
                             "r1",
                             "w0 00 FF FF FF FF FF FF FF",
                         }));

    Forget();
    warrior.WriteOutputs(true, false);
    EXPECT_TRUE(Reports().empty());

    // A full pass writes every register; SDI registers go through their port and end with a
    // strobe.
    warrior.SetOutput(13, 1, true, 0);
    warrior.WriteOutputs(false, false);
    EXPECT_EQ(Reports(), (Lines{
                             "w0 00 FF FF FF FF BF FF FF",
                             "w1 09 04 00 00 00 44 10",
                             "r1",
                             "w0 00 FF FF FF FF FF FF FF",
                             "w0 00 FF FF FF FF BF FF FF",
                             "w1 09 04 00 00 00 54 00",
                             "r1",
                             "w0 00 FF FF FF FF FF FF FF",
                             "w0 00 FF FF FF FE FF FF FF",
                             "w1 09 02 00 44 01 00 00",
                             "r1",
                             "w0 00 FF FF FF FF FF FF FF",
                             "w0 00 FF FF FF FF 7F FF FF",
                             "w0 00 FF FF FF FF FF FF FF",
                         }));

    // Lines nobody registered are dropped.
    Forget();
    warrior.SetOutput(5, 1, true, 0);
    warrior.SetOutput(26, 1, true, 0);
    warrior.SetOutput(14, 1, true, 0);
    warrior.WriteOutputs(true, false);
    EXPECT_TRUE(Reports().empty());
    EXPECT_FALSE(warrior.GetOutputBit(5, 1));

    warrior.ResetOutputs();
    EXPECT_FALSE(warrior.GetOutputBit(3, 1));
    warrior.WriteOutputs(true, false);
    EXPECT_TRUE(Reports().empty());
}

TEST_F(WarriorTest, PulseLastsFromItsWriteUntilTheFirstPassAfterItsDuration) {
    warrior.RegisterOutputs({{5, 1}}, {});
    warrior.SetOutput(5, 1, true, 30);
    clock.Advance(7);  // the timer starts with the write, not with the command
    warrior.WriteOutputs(true, false);
    const std::uint32_t written = clock.NowMs();
    EXPECT_TRUE(warrior.GetOutputBit(5, 1));

    while (clock.NowMs() - written < 29) {
        clock.Advance(1);
        warrior.WriteOutputs(true, false);
        ASSERT_TRUE(warrior.GetOutputBit(5, 1)) << clock.NowMs() - written;
    }
    clock.Set(written + 30);
    Forget();
    warrior.WriteOutputs(true, false);
    EXPECT_FALSE(warrior.GetOutputBit(5, 1));
    ASSERT_EQ(Reports().size(), 4u);
    EXPECT_EQ(Reports()[1], "w1 09 04 00 00 00 4C 00");
}

// The register values written to the IO box's output expander, in order.
std::vector<std::string> WrittenValues(const Lines& reports, const std::string& reg) {
    std::vector<std::string> values;
    const std::string prefix = "w1 09 04 00 00 00 " + reg + " ";
    for (const std::string& report : reports) {
        if (report.rfind(prefix, 0) == 0) {
            values.push_back(report.substr(prefix.size()));
        }
    }
    return values;
}

TEST_F(WarriorTest, PulsesOnABusyLineFollowEachOtherWithAWriteAtRestBetween) {
    warrior.RegisterOutputs({{5, 1}}, {});
    // Three pulses at once: the first starts, the others wait their turn.
    warrior.SetOutput(5, 1, true, 30);
    warrior.SetOutput(5, 1, true, 30);
    clock.Advance(3);
    warrior.WriteOutputs(true, false);
    warrior.SetOutput(5, 1, true, 30);
    // Pass numbers and times of the passes that wrote a rise or a fall.
    std::vector<std::pair<int, std::uint32_t>> rises{{0, clock.NowMs()}};
    std::vector<std::pair<int, std::uint32_t>> falls;
    bool high = true;
    for (int pass = 1; pass <= 100; ++pass) {
        clock.Advance(2);
        warrior.WriteOutputs(true, false);
        if (warrior.GetOutputBit(5, 1) != high) {
            high = !high;
            (high ? rises : falls).emplace_back(pass, clock.NowMs());
        }
    }
    EXPECT_EQ(WrittenValues(Reports(), "4C"),
              (std::vector<std::string>{"01", "00", "01", "00", "01", "00"}));
    ASSERT_EQ(rises.size(), 3u);
    ASSERT_EQ(falls.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_GE(falls[i].second - rises[i].second, 30u) << i;
        if (i > 0) {
            // The next pulse is written by the pass after the one that ended the previous pulse.
            EXPECT_EQ(rises[i].first, falls[i - 1].first + 1) << i;
        }
    }
}

TEST_F(WarriorTest, AFullLineRefusesPulsesAndAForcedEndDropsThoseWaiting) {
    warrior.RegisterOutputs({{5, 1}, {6, 1}}, {});
    EXPECT_TRUE(warrior.SetOutput(5, 1, true, 30));
    for (std::size_t i = 0; i < TCHiIobWarrior::kMaxWaitingPulses; ++i) {
        ASSERT_TRUE(warrior.SetOutput(5, 1, true, 30)) << i;
    }
    EXPECT_FALSE(warrior.SetOutput(5, 1, true, 30));
    // Level commands and other lines are not held up.
    EXPECT_TRUE(warrior.SetOutput(5, 1, true, 0));
    EXPECT_TRUE(warrior.SetOutput(6, 1, true, 30));
    warrior.WriteOutputs(true, false);
    EXPECT_TRUE(warrior.GetOutputBit(6, 1));

    warrior.WriteOutputs(true, true);
    EXPECT_FALSE(warrior.GetOutputBit(5, 1));
    EXPECT_FALSE(warrior.GetOutputBit(6, 1));
    Forget();
    for (int pass = 0; pass < 50; ++pass) {
        clock.Advance(10);
        warrior.WriteOutputs(true, false);
    }
    EXPECT_TRUE(Reports().empty()) << "no pulse was left waiting";
    EXPECT_TRUE(warrior.SetOutput(5, 1, true, 30));
}

TEST_F(WarriorTest, LevelChangeDuringAPulseIsOverriddenWhenThePulseEnds) {
    warrior.RegisterOutputs({{5, 1}}, {});
    warrior.SetOutput(5, 1, true, 30);
    warrior.WriteOutputs(true, false);
    warrior.SetOutput(5, 1, true, 0);
    clock.Advance(40);
    warrior.WriteOutputs(true, false);
    EXPECT_FALSE(warrior.GetOutputBit(5, 1));
}

TEST_F(WarriorTest, ForcedEndStopsStartedPulsesButNotUnwrittenOnes) {
    warrior.RegisterOutputs({{5, 1}, {6, 1}}, {});
    warrior.SetOutput(5, 1, true, 1000);
    warrior.WriteOutputs(true, false);
    warrior.SetOutput(6, 1, true, 1000);
    warrior.WriteOutputs(true, true);
    EXPECT_FALSE(warrior.GetOutputBit(5, 1));
    // The second pulse was written in that same pass, so its timer started only then.
    EXPECT_TRUE(warrior.GetOutputBit(6, 1));
    warrior.WriteOutputs(true, true);
    EXPECT_FALSE(warrior.GetOutputBit(6, 1));
}

TEST_F(WarriorTest, PulseToTheLevelTheLineAlreadyHasStartsAtOnce) {
    warrior.RegisterOutputs({{5, 1}}, {});
    warrior.WriteOutputs(false, false);
    // A low pulse on a line that is low changes no register; its timer starts at the command.
    warrior.SetOutput(5, 1, false, 30);
    clock.Advance(31);
    Forget();
    warrior.WriteOutputs(true, false);
    // It ends by restoring high, which is a change that gets written.
    EXPECT_TRUE(warrior.GetOutputBit(5, 1));
    EXPECT_EQ(Reports()[1], "w1 09 04 00 00 00 4C 01");
    // The line takes pulses again.
    warrior.SetOutput(5, 1, false, 30);
    EXPECT_FALSE(warrior.GetOutputBit(5, 1));
}

TEST_F(WarriorTest, APassWithNoLineActiveReadsOnlyTheLines) {
    warrior.RegisterInputs({{1, 1}, {5, 2}, {12, 2}}, {{1, 1}}, {});
    const std::uint32_t start = clock.NowMs();
    EXPECT_TRUE(warrior.ReadInputs(true));
    EXPECT_EQ(Reports(), (Lines{"w1 FF 00 00 00 00 00 00", "r1"}));
    EXPECT_EQ(clock.NowMs(), start + 4);
    // Before the first read every input reads high.
    EXPECT_TRUE(warrior.GetInputBit(1, 1));
    EXPECT_TRUE(warrior.GetInputBit(13, 1));
    EXPECT_FALSE(warrior.GetInputBit(14, 1));
}

TEST_F(WarriorTest, AfterTheRearmEveryRegisteredGroupIsReadInOneChainOfFrames) {
    warrior.RegisterInputs({{1, 1}, {5, 2}}, {{1, 1}}, {});
    library.reads.push_back(PinsReply(0xDF));  // group of pins 4..11 flagged
    library.reads.push_back(SpiReply({0, 0, 0, 0}));
    library.reads.push_back(SpiReply({0xC4, 0xFE, 0, 0}));
    library.reads.push_back(SpiReply({0xCC, 0xFD, 0, 0}));
    EXPECT_TRUE(warrior.ReadInputs(true));
    EXPECT_FALSE(warrior.GetInputBit(1, 1));
    EXPECT_FALSE(warrior.GetInputBit(5, 2)) << "pin 13, not flagged, read after the re-arm";
    EXPECT_TRUE(warrior.GetInputBit(5, 1));
    // Each frame sends the next read command and brings back the register asked for before; the
    // group of pins 20..27 has no registered input and is never read.
    EXPECT_EQ(Reports(), (Lines{
                             "w1 FF 00 00 00 00 00 00",
                             "r1",
                             "w0 00 FF EF FF FF FF FF FF",
                             "w0 00 FF FF FF FF FF FF FF",
                             "w0 00 FF FF FF FF BF FF FF",
                             "w1 09 04 00 C4 00 00 00",
                             "r1",
                             "w0 00 FF FF FF FF FF FF FF",
                             "w0 00 FF FF FF FF BF FF FF",
                             "w1 09 04 00 CC 00 00 00",
                             "r1",
                             "w0 00 FF FF FF FF FF FF FF",
                             "w0 00 FF FF FF FF BF FF FF",
                             "w1 09 04 00 00 00 00 00",
                             "r1",
                             "w0 00 FF FF FF FF FF FF FF",
                         }));
}

TEST_F(WarriorTest, FailedFrameOfARegisterChainKeepsTheRegistersNotYetReceived) {
    warrior.RegisterInputs({{1, 1}, {5, 2}, {12, 2}}, {}, {});
    library.reads.push_back(SpiReply({0, 0, 0, 0}));
    library.reads.push_back(SpiReply({0xC4, 0xFE, 0, 0}));
    for (int i = 0; i < 4; ++i) {
        library.reads.push_back({{}, 0, false});
    }
    EXPECT_FALSE(warrior.ReadInputs(false));
    EXPECT_FALSE(warrior.GetInputBit(1, 1));
    EXPECT_TRUE(warrior.GetInputBit(5, 2));
    EXPECT_TRUE(warrior.GetInputBit(12, 2));
    const Lines reports = Reports();
    EXPECT_EQ(std::count(reports.begin(), reports.end(), "w1 09 04 00 D4 00 00 00"), 1);
    EXPECT_EQ(std::count(reports.begin(), reports.end(), "w1 09 04 00 00 00 00 00"), 0)
        << "the chain stops at the failed frame";
}

TEST_F(WarriorTest, FailedRegisterReadStopsTheInputStep) {
    warrior.RegisterInputs({{1, 1}, {5, 2}, {12, 2}}, {}, {});
    for (int i = 0; i < 4; ++i) {
        library.reads.push_back({{}, 0, false});
    }
    EXPECT_FALSE(warrior.ReadInputs(false));
    const Lines reports = Reports();
    EXPECT_EQ(std::count(reports.begin(), reports.end(), "w1 09 04 00 CC 00 00 00"), 0);
    EXPECT_TRUE(warrior.GetInputBit(12, 2));
}

TEST_F(WarriorTest, SlowDeviceBytesAppearOnlyInTheDuePassAndMapCountFirst) {
    warrior.RegisterInputs({}, {}, {{3, 4}, {3, 2}, {5, 2}});
    warrior.GetSlowDeviceTimer().SetPeriod(1000);
    warrior.GetSlowDeviceTimer().Restart();
    clock.Advance(1001);
    library.reads.push_back(SpiReply({11, 12, 13, 14}));
    library.reads.push_back(SpiReply({21, 22, 23, 24}));
    EXPECT_TRUE(warrior.ReadInputs(true));
    EXPECT_EQ(warrior.GetSlowDeviceByte(15, 0), 13);
    EXPECT_EQ(warrior.GetSlowDeviceByte(15, 1), 14);
    EXPECT_EQ(warrior.GetSlowDeviceByte(15, 2), 11);
    EXPECT_EQ(warrior.GetSlowDeviceByte(15, 3), 12);
    EXPECT_EQ(warrior.GetSlowDeviceByte(15, 4), 0);
    // A 2-byte device: the count indexes map past its bytes.
    EXPECT_EQ(warrior.GetSlowDeviceByte(17, 0), 0);
    EXPECT_EQ(warrior.GetSlowDeviceByte(17, 2), 21);
    EXPECT_EQ(warrior.GetSlowDeviceByte(17, 3), 22);
    EXPECT_EQ(warrior.GetSlowDeviceByte(5, 0), 0);

    EXPECT_TRUE(warrior.ReadInputs(true));
    EXPECT_EQ(warrior.GetSlowDeviceByte(15, 0), 0);
}

TEST_F(WarriorTest, FailedSlowDeviceTransferStillStoresTheBuffer) {
    warrior.RegisterInputs({}, {}, {{3, 4}});
    warrior.GetSlowDeviceTimer().SetPeriod(0);
    warrior.GetSlowDeviceTimer().Restart();
    clock.Advance(1);
    for (int i = 0; i < 4; ++i) {
        library.reads.push_back({{0x09, 0x04, 7, 8, 9, 10}, 6, false});
    }
    EXPECT_FALSE(warrior.ReadInputs(true));
    EXPECT_EQ(warrior.GetSlowDeviceByte(15, 2), 7);
    EXPECT_EQ(warrior.GetSlowDeviceByte(15, 1), 10);
}

TEST_F(WarriorTest, ResetInputsRearmsAndForgetsLevels) {
    warrior.RegisterInputs({{1, 1}}, {}, {});
    library.reads.push_back(SpiReply({0, 0, 0, 0}));
    library.reads.push_back(SpiReply({0xC4, 0x00, 0, 0}));
    warrior.ReadInputs(false);
    EXPECT_FALSE(warrior.GetInputBit(1, 1));
    Forget();
    warrior.ResetInputs();
    EXPECT_TRUE(warrior.GetInputBit(1, 1));
    EXPECT_EQ(Reports(), (Lines{"w0 00 FF EF FF FF FF FF FF", "w0 00 FF FF FF FF FF FF FF"}));
}

TEST(WarriorEnumeration, FindsSupportedControllersByTheirBoxId) {
    VirtualClock clock;
    RecordingLibrary library(clock);
    library.controllers = 2;
    std::uint8_t nextId = 7;
    library.defaultRead = [&nextId](std::uint8_t* buffer, std::uint32_t length) {
        buffer[3] = nextId++;
        return length;
    };
    EXPECT_TRUE(TCHiIobWarrior::EnumerateDevices(library));
    EXPECT_EQ(TCHiIobWarrior::GetIOBoxIds(), (std::vector<std::int32_t>{7, 8}));
    EXPECT_EQ(TCHiIobWarrior::GetDeviceHandle(8), library.GetDeviceHandle(2));
    EXPECT_EQ(TCHiIobWarrior::GetDeviceHandle(9), nullptr);
    // Identification sets no timeouts and does not retry.
    EXPECT_EQ(std::count_if(library.calls.begin(), library.calls.end(),
                            [](const auto& call) { return call.what == "timeout"; }),
              0);

    library.productId = 0x1501;
    EXPECT_TRUE(TCHiIobWarrior::EnumerateDevices(library));
    EXPECT_TRUE(TCHiIobWarrior::GetIOBoxIds().empty());

    library.controllers = 0;
    EXPECT_FALSE(TCHiIobWarrior::EnumerateDevices(library));
    EXPECT_EQ(library.closeCount, 1);
    EXPECT_TRUE(TCHiIobWarrior::GetIOBoxIds().empty());
}

TEST(WarriorEnumeration, RepliesLeftWaitingByAnEarlierUserAreNotTakenForTheBoxId) {
    VirtualClock clock;
    RecordingLibrary library(clock);
    library.reads.push_back(SpiReply({0x0F, 0xA5, 0, 0}));
    library.reads.push_back(SpiReply({0x44, 0xA5}));
    library.reads.push_back(PinsReply(0xFF, 5));
    EXPECT_TRUE(TCHiIobWarrior::EnumerateDevices(library));
    EXPECT_EQ(TCHiIobWarrior::GetIOBoxIds(), (std::vector<std::int32_t>{5}));

    // Nothing but stray replies, more than the driver can hold: the id reads as when nothing came.
    for (int i = 0; i < 17; ++i) {
        library.reads.push_back(SpiReply({0x0F, 0xA5, 0, 0}));
    }
    EXPECT_TRUE(TCHiIobWarrior::EnumerateDevices(library));
    EXPECT_EQ(TCHiIobWarrior::GetIOBoxIds(), (std::vector<std::int32_t>{0}));
}

TEST(WarriorEnumeration, ReadsNothingAsBoxIdZero) {
    VirtualClock clock;
    RecordingLibrary library(clock);
    library.defaultRead = [](std::uint8_t*, std::uint32_t) { return 0u; };
    EXPECT_TRUE(TCHiIobWarrior::EnumerateDevices(library));
    EXPECT_EQ(TCHiIobWarrior::GetIOBoxIds(), (std::vector<std::int32_t>{0}));
}

TEST_F(WarriorTest, EachFailedAttemptOfTheLadderIsLoggedAndGivingUpIsAWarning) {
    const zentrix::testing::LogFile log;
    for (int i = 0; i < 4; ++i) {
        library.reads.push_back({{}, 10, false});
    }
    std::uint8_t buffer[64] = {};
    EXPECT_FALSE(warrior.ReadReport(warrior.GetHandle(), 1, buffer, 64));
    EXPECT_EQ(
        log.Lines({"zentrix: debug: transfer: read on pipe 1: 10 of 64 bytes", "retrying"}).size(),
        3u)
        << log.Text();
    EXPECT_EQ(log.Lines({"zentrix: warning: transfer: read on pipe 1: 10 of 64 bytes within "
                         "10000 ms (attempt 4 of 4); giving up"})
                  .size(),
              1u)
        << log.Text();

    library.reads.push_back({{}, 0, true});
    EXPECT_FALSE(warrior.ReadReport(warrior.GetHandle(), 1, buffer, 64));
    EXPECT_EQ(log.Lines({"zentrix: warning: transfer: read on pipe 1 broke down (transport "
                         "broke down); giving up"})
                  .size(),
              1u)
        << log.Text();
}

TEST(WarriorEnumeration, EachControllerFoundIsLoggedAndAForeignOneIsSkippedWithTheReason) {
    const zentrix::testing::LogFile log("info");
    VirtualClock clock;
    RecordingLibrary library(clock);
    library.controllers = 2;
    library.productId = 0x1500;
    library.reads.push_back(PinsReply(0xFF, 5));
    library.reads.push_back(PinsReply(0xFF, 6));
    ASSERT_TRUE(TCHiIobWarrior::EnumerateDevices(library));
    EXPECT_TRUE(TCHiIobWarrior::GetIOBoxIds().empty());
    EXPECT_EQ(log.Lines({"zentrix: warning: discovery: controller 1 of 2: serial 00001234, "
                         "product id 0x1500, IO box id 5; skipped: not an IO-Warrior 56"})
                  .size(),
              1u)
        << log.Text();
    EXPECT_EQ(log.Lines({"controller 2 of 2", "IO box id 6; skipped"}).size(), 1u) << log.Text();

    library.productId = zentrix::kIoWarrior56ProductId;
    library.controllers = 1;
    library.reads.push_back(PinsReply(0xFF, 7));
    ASSERT_TRUE(TCHiIobWarrior::EnumerateDevices(library));
    EXPECT_EQ(log.Lines({"zentrix: info: discovery: controller 1 of 1: serial 00001234, product "
                         "id 0x1503, IO box id 7"})
                  .size(),
              1u)
        << log.Text();

    library.controllers = 0;
    EXPECT_FALSE(TCHiIobWarrior::EnumerateDevices(library));
    EXPECT_EQ(log.Lines({"zentrix: info: discovery: no IO-Warrior controller opened"}).size(), 1u);
}

}  // namespace
