// Access to one IO-Warrior 56 controller of an IO box: the report transport with its timeout
// ladder and its waits (WarriorTransport.cpp), the select, strobe and re-arm lines, the expanders'
// register protocol and the set-up of the box (WarriorExpanders.cpp), the register caches that
// commands and sampling work on and the order in which a pass reads and writes them
// (WarriorRegisters.cpp), and the slow devices (WarriorSlowDevices.cpp). All traffic of the
// plug-in goes through here. No lock: its callers serialise every call (the host's thread at
// start-up, Load and the start and end of sampling, the sampling thread of its box in between), so
// every method runs on whichever of those threads holds the box at the time. Calls that exchange
// reports block for the transfer: a few milliseconds normally, up to the timeout ladder (1 s, 1 s,
// 10 s, 10 s per report) when the controller stops answering, or about 250 ms once sampling is
// being stopped; the rest only touch the caches.
#ifndef ZENTRIX_IOBOX_WARRIOR_H
#define ZENTRIX_IOBOX_WARRIOR_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "iobox/Interrupt.h"
#include "iobox/ReplyWait.h"
#include "iobox/Timing.h"
#include "platform/Clock.h"
#include "platform/IoWarriorLibrary.h"

// Expander registers: pin configuration, the four 8-pin level registers and their read commands.
enum : std::uint8_t {
    kIobRegConfiguration = 0x04,
    kIobRegPins4To11 = 0x44,
    kIobRegPins12To19 = 0x4C,
    kIobRegPins20To27 = 0x54,
    kIobRegPins28To31 = 0x5C,
    kIobReadPins4To11 = 0xC4,
    kIobReadPins12To19 = 0xCC,
    kIobReadPins20To27 = 0xD4,
    kIobReadPins28To31 = 0xDC,
};

// (port number within its kind, line) pairs, and (SDI port number, byte count) pairs.
using TCHiIobPortLines = std::vector<std::pair<std::int32_t, std::int32_t>>;
using TCHiIobSlowDevices = std::vector<std::pair<std::int32_t, std::int32_t>>;

class TCHiIobWarrior {
public:
    // The library and the clock are not owned and outlive this object; the handle stays the
    // library's.
    TCHiIobWarrior(zentrix::IowHandle device, zentrix::IoWarriorLibrary& library,
                   zentrix::Clock& clock);
    virtual ~TCHiIobWarrior();
    TCHiIobWarrior(const TCHiIobWarrior&) = delete;
    TCHiIobWarrior& operator=(const TCHiIobWarrior&) = delete;

    // The process-wide list of controllers: built once at start-up, read by box id afterwards.
    // Host thread only, while the setup is built or torn down; enumerating blocks on the library.
    static bool EnumerateDevices(zentrix::IoWarriorLibrary& library);
    static std::vector<std::int32_t> GetIOBoxIds();
    static zentrix::IowHandle GetDeviceHandle(std::int32_t ioBoxId);
    static void CloseDevices(zentrix::IoWarriorLibrary& library);

    // How the transfers wait for a controller that does not answer; not owned, outlives this, or
    // null to wait as on the host's thread. Set before the first transfer.
    void WatchReplyWait(const std::atomic<zentrix::ReplyWait>* replyWait) {
        m_pReplyWait = replyWait;
    }
    // A transfer was given up because sampling was being stopped; every transfer since has failed
    // at once, without reaching the controller.
    bool WasAbandoned() const { return m_bAbandoned; }

    // The waits around reports: spec until set otherwise. Set while no pass runs.
    void SetTiming(zentrix::Timing timing) { m_eTiming = timing; }
    zentrix::Timing GetTiming() const { return m_eTiming; }
    // Host thread, after Configure: reads back, with lean waits, configuration registers whose
    // values Configure wrote (the IO box's input expander, and the expander of every top unit
    // interface), each frame's answer differing from the one before, so that a frame clocked
    // with the select lines of before shows. Leaves the timing lean when every read-back matched
    // and as it was otherwise; `reason` says which.
    bool VerifyLeanTiming(std::string& reason);

    // Block for one report exchange; the buffer stays the caller's.
    bool WriteReport(zentrix::IowHandle handle, std::uint32_t pipe, std::uint8_t* buffer,
                     std::uint32_t length);
    bool ReadReport(zentrix::IowHandle handle, std::uint32_t pipe, std::uint8_t* buffer,
                    std::uint32_t length);

    void SelectIOBox();
    void SelectPort(std::int32_t port);
    void DeselectAll();
    void SetStrobe(bool active);
    void StrobeIfSelected();
    // Low pulse of 1 ms on the interrupt re-arm line (port 1 bit 4).
    void PulseRearmLine();

    void EnableSpi(bool enable);
    bool SpiTransfer(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4);
    bool SpiTransfer(std::uint8_t b1, std::uint8_t b2);
    // The port levels of the reply stay in the special-report buffer.
    bool ReadPins();
    // After the interrupt lines of a ReadPins were looked at: an input register whose group the
    // lines do not flag, and which was read since the last re-arm, is known to hold what that
    // read returned at the time of the ReadPins too.
    void NoteLatchedLines();
    std::uint8_t GetSpecialReportByte(std::size_t index) const;

    void WriteIOBoxRegister(std::uint8_t reg, std::uint8_t value);
    bool ReadIOBoxRegister(std::uint8_t readCommand, std::uint8_t& value);
    // Reads several input registers in one chain of frames, each frame carrying the next read
    // command and bringing back the previous register, so n registers take n + 1 frames instead
    // of 2n. Stops at the first failed transfer; the registers not yet received keep their values.
    bool ReadIOBoxRegisters(const std::uint8_t* readCommands, std::uint8_t* const* values,
                            std::size_t count);

    // Set-up and take-down of the box: host thread, while no sampling thread runs; they block for
    // every register they write.
    void ConfigureIOBoxExpanders();
    void ConfigurePortExpander(std::int32_t port);
    void PrimeSlowDevice(std::int32_t port);
    // Holds the port's select for the device to latch its counts, then shifts them out into the
    // special-report buffer.
    bool LatchSlowDevice(std::int32_t port);

    void Configure(const TCHiIobPortLines& ttlOutputs, const TCHiIobPortLines& sdiOutputs,
                   const TCHiIobPortLines& ttlInputs, const TCHiIobPortLines& sdiInputs,
                   const TCHiIobSlowDevices& slowDevices,
                   const std::vector<std::int32_t>& sdiExpanderPorts,
                   const std::vector<std::int32_t>& slowDevicePorts, double lickometerFrequency);
    void Unconfigure();

    void RegisterOutputs(const TCHiIobPortLines& ttlOutputs, const TCHiIobPortLines& sdiOutputs);
    void RegisterInputs(const TCHiIobPortLines& ttlInputs, const TCHiIobPortLines& sdiInputs,
                        const TCHiIobSlowDevices& slowDevices);

    // Enough for a long burst of pulses on one line (each takes at least its duration and two
    // write passes) while the cache stays small.
    static constexpr std::size_t kMaxWaitingPulses = 64;

    // The pass thread from here on (the sampling thread, or the host's at the start and end of
    // sampling). Changes the cache only; a duration of 1 ms or more makes a pulse that restores the
    // opposite level once it has lasted that long. A pulse on a line that already has one waits
    // until that one has ended and its resting level has been written, so that each pulse reaches
    // the line with edges of its own. False only when kMaxWaitingPulses pulses already wait on the
    // line: the pulse was not taken and the caller keeps it for a later pass.
    // The device and command, when given, name the change in TakeOutputChanges.
    bool SetOutput(std::int32_t portId, std::int32_t line, bool level, std::int32_t durationMs,
                   std::int32_t deviceId = -1, std::int32_t commandId = -1);
    // The write pass that ends pulses at once (force end of pulses) drops the pulses still waiting.
    // While sampling runs, a write pass of changed registers reads the flagged inputs after each
    // expander's writes.
    void WriteOutputs(bool onlyChanged, bool forceEndPulses);
    // From the end of the passes that begin sampling to the start of those that end it.
    void SetInputsBetweenWrites(bool between) { m_bInputsBetweenWrites = between; }
    // Whether an input read of the write passes failed since the last call.
    bool TakeInputsFailed() { return std::exchange(m_bInputsFailed, false); }
    // Reads the inputs the interrupt lines flag (all of them when onlyChanged is false), then the
    // slow devices when their period is due, with the flagged inputs read again after each slow
    // device; false when a read failed.
    bool ReadInputs(bool onlyChanged);

    // One register read of the IO box's inputs as it came, so that a level seen between two
    // passes counts even when a later read of the same pass shows it gone again.
    struct InputRead {
        std::uint8_t readCommand = 0;
        std::uint8_t value = 0;
        // The register held this value no later than sampledByUs (microseconds on the clock), and
        // held what the read before returned no earlier than knownSinceUs (0: no read before).
        std::uint64_t knownSinceUs = 0;
        std::uint64_t sampledByUs = 0;
    };
    // The input register reads since the last call, in the order they were made.
    void TakeInputReads(std::vector<InputRead>& reads);
    // The input register and bit of a TTL port's line; false for any other port.
    static bool LocateInputBit(std::int32_t portId, std::int32_t line, std::uint8_t& readCommand,
                               std::int32_t& bit);

    // A line that a command set, or a pulse that ended, in the write passes since the last call:
    // the write that carried it out went out between fromUs and byUs (microseconds on the clock),
    // or, when the register did not change, at the end of its pass.
    struct OutputChange {
        bool pulseEnd = false;
        std::int32_t deviceId = -1;
        std::int32_t commandId = -1;
        std::uint8_t level = 0;
        std::uint64_t fromUs = 0;
        std::uint64_t byUs = 0;
        std::int32_t selector = 0;
        std::uint8_t reg = 0;
        bool timed = false;
    };
    void TakeOutputChanges(std::vector<OutputChange>& changes);
    // When the slow device on that port last latched what it counted (its select went out at or
    // after latchedFromUs and the counts were back by readByUs), and when the latch before began;
    // false for a port without a slow device or not yet read.
    bool GetSlowDeviceReadTimes(std::int32_t portId, std::uint64_t& previousFromUs,
                                std::uint64_t& readByUs) const;

    bool GetOutputBit(std::int32_t portId, std::int32_t line) const;
    bool GetInputBit(std::int32_t portId, std::int32_t line) const;
    std::uint8_t GetSlowDeviceByte(std::int32_t portId, std::int32_t valueIndex) const;

    void ResetOutputs();
    void ResetInputs();
    // Has every slow device latch and shift out what it counted so far, drops it, and starts the
    // slow-device period again, so that the next read brings only what came after this call.
    // Blocks for one select hold and three reports per slow device; false when a read failed.
    bool DiscardSlowDeviceCounts();

    zentrix::IowHandle GetHandle() const { return m_hDevice; }
    // Owned by this object; the references last as long as it does.
    TCHiIobInterrupt& GetInterrupt() { return *m_pInterrupt; }
    TCHiIobSlowDeviceTimer& GetSlowDeviceTimer() { return *m_pSlowDeviceTimer; }

private:
    struct Pulse {
        std::uint8_t restoreLevel = 0;
        std::int32_t durationMs = 1;
        std::uint32_t startMs = 0;
        bool started = false;
        std::int32_t deviceId = -1;
        std::int32_t commandId = -1;
    };
    struct OutputEntry {
        std::uint8_t lastWritten = 0;
        std::uint8_t current = 0;
        std::map<std::int32_t, Pulse> pulses;
        // Per bit, in arrival order, the pulses behind the one in pulses.
        std::map<std::int32_t, std::deque<Pulse>> waitingPulses;
    };

    // What a special-mode reply must carry to answer a request: the request's report id and, for
    // an SPI transfer, its byte count.
    struct ReplyHeader {
        std::uint8_t reportId = 0;
        std::uint8_t byteCount = 0;
    };

    // ReadReport, taking only a reply that carries the expected header when one is given.
    bool ReadReply(zentrix::IowHandle handle, std::uint32_t pipe, std::uint8_t* buffer,
                   std::uint32_t length, const ReplyHeader* expected);
    zentrix::ReplyWait CurrentReplyWait() const;
    // How long the next library call of an attempt with `leftMs` to go may wait.
    std::uint32_t WaitSliceMs(std::uint32_t leftMs) const;
    // Whether an attempt goes on after a library call that waited from `sliceStartMs` for up to
    // `waitMs` without transferring the report.
    bool WaitGoesOn(std::uint32_t attemptStartMs, std::uint32_t timeoutMs,
                    std::uint32_t sliceStartMs, std::uint32_t waitMs) const;
    // Gives the transfer up for good when sampling is being stopped; true when it did.
    bool AbandonIfStopping(const char* transfer, std::uint32_t pipe, std::uint32_t startMs);
    void WritePinReport();
    bool SpecialTransfer();
    void DiscardLateReplies();
    void StartPulse(std::int32_t selector, std::uint8_t reg, OutputEntry& entry, std::int32_t bit,
                    bool level, const Pulse& command);
    // Returns how many waiting pulses a forced end dropped.
    std::size_t EndDuePulses(std::int32_t selector, std::uint8_t reg, OutputEntry& entry,
                             bool forceEnd);
    void NoteOutputChange(bool pulseEnd, const Pulse& command, std::int32_t selector,
                          std::uint8_t reg, std::uint8_t level);
    // Gives the output changes still without a time that of their register's write in this
    // pass, or the pass's end.
    void TimeOutputChanges();
    void WriteRegister(std::int32_t selector, std::uint8_t reg, std::uint8_t value);
    // Reads the input registers the interrupt lines flag, or all of them.
    bool ServeInputs(bool onlyChanged);
    bool ReadSlowDevices(bool inputsBetween);
    // A read of an IO box input register whose level was latched no earlier than latchedFromUs
    // and was back by replyByUs.
    void NoteInputRead(std::uint8_t readCommand, std::uint8_t value, std::uint64_t latchedFromUs,
                       std::uint64_t replyByUs);
    // What the timing has a report wait for once it has been exchanged (or failed).
    void WaitAfterReport(std::uint32_t pipe, bool transferred);
    // With lean waits, the rest of the wait after the last pin report, before the next report.
    void WaitForPins();

    zentrix::IowHandle m_hDevice;
    // Not owned, outlive this.
    zentrix::IoWarriorLibrary& m_library;
    zentrix::Clock& m_clock;
    std::uint8_t m_abySpecialReport[zentrix::kIow56SpecialReportSize] = {};
    std::uint8_t m_abyIOReport[zentrix::kIow56PinReportSize] = {0x00, 0xFF, 0xFF, 0xFF,
                                                                0xFF, 0xFF, 0xFF, 0xFF};
    std::map<std::int32_t, std::map<std::uint8_t, OutputEntry>> m_mapOutputs;
    std::map<std::int32_t, std::map<std::uint8_t, std::uint8_t>> m_mapInputs;
    std::map<std::int32_t, std::vector<std::uint8_t>> m_mapSlowDevices;
    std::unique_ptr<TCHiIobInterrupt> m_pInterrupt;
    std::unique_ptr<TCHiIobSlowDeviceTimer> m_pSlowDeviceTimer;
    bool m_bPortSelected = false;
    // The last special-mode reply was given up on and may still be waiting to be read.
    bool m_bReplyMayBeLate = false;
    // Not owned; the setup's, which outlives this.
    const std::atomic<zentrix::ReplyWait>* m_pReplyWait = nullptr;
    bool m_bAbandoned = false;
    zentrix::Timing m_eTiming = zentrix::Timing::Spec;
    // When the last pin report went out, and how long the next report waits for it (0: none).
    std::uint64_t m_nPinReportUs = 0;
    std::uint32_t m_nPinWaitUs = 0;
    std::vector<std::int32_t> m_vecExpanderPorts;
    std::vector<InputRead> m_vecInputReads;
    // When the last report's transfer began (after any wait for the pins) and when it completed,
    // before the wait after it.
    std::uint64_t m_nReportStartUs = 0;
    std::uint64_t m_nReportEndUs = 0;
    // The last ReadPins: it succeeded, and its request went out no earlier than this.
    bool m_bPinCheckRead = false;
    std::uint64_t m_nPinCheckFromUs = 0;
    // Per input register of the IO box (by read command): since when its level is known, and
    // whether it was read since the last re-arm, after which a quiet interrupt line vouches for it.
    struct InputKnowledge {
        std::uint64_t knownFromUs = 0;
        bool readSinceRearm = false;
    };
    std::map<std::uint8_t, InputKnowledge> m_mapInputKnowledge;
    // The registers the current write pass wrote, and when the write reached the lines.
    struct RegisterWrite {
        std::int32_t selector = 0;
        std::uint8_t reg = 0;
        std::uint64_t fromUs = 0;
        std::uint64_t byUs = 0;
        bool strobed = false;
    };
    std::vector<RegisterWrite> m_vecRegisterWrites;
    std::vector<OutputChange> m_vecOutputChanges;
    // The last strobe's first report.
    std::uint64_t m_nStrobeFromUs = 0;
    std::uint64_t m_nStrobeByUs = 0;
    struct SlowDeviceTimes {
        std::uint64_t previousFromUs = 0;
        std::uint64_t lastFromUs = 0;
        std::uint64_t lastByUs = 0;
    };
    std::map<std::int32_t, SlowDeviceTimes> m_mapSlowDeviceTimes;
    // An input read of a write pass failed; the next ReadInputs reports it.
    bool m_bInputsFailed = false;
    bool m_bInputsBetweenWrites = false;
};

#endif
