// One IO box as the plug-in sees it: its ports, the devices assigned to them, the access object
// of its controller and the passes that connect the two. Devices change only on the host's thread
// while the sampler is stopped; the passes run on one sampling thread at a time (the one of the
// box's controller, or the host's inside start and stop of sampling); QueueCommand, ReceiveSignal
// and IsConnected may run on the host's thread at any time and touch only the controller, the
// signal processor and atomic state.
#ifndef ZENTRIX_IOBOX_IOBOX_H
#define ZENTRIX_IOBOX_IOBOX_H

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/ZentrixInterface.h"
#include "iobox/DeviceRefusal.h"
#include "iobox/Port.h"
#include "iobox/Warrior.h"
#include "model/Device.h"
#include "platform/IoWarriorLibrary.h"
#include "sampling/EventBuffer.h"
#include "sampling/SignalProcessor.h"
#include "setup/Controller.h"

class TCHiIobHardwareSetup;

class TCHiIobIOBox {
public:
    TCHiIobIOBox(TCHiIobHardwareSetup* setup, std::int32_t id);
    // Leaves the access object alone: the setup releases it before destroying the box.
    virtual ~TCHiIobIOBox();
    TCHiIobIOBox(const TCHiIobIOBox&) = delete;
    TCHiIobIOBox& operator=(const TCHiIobIOBox&) = delete;

    std::int32_t GetId() const { return m_iId; }
    std::string GetName() const { return m_strName; }
    const TCHiIobPorts& GetPorts() const { return *m_pPorts; }

    void AttachWarrior(zentrix::IowHandle handle);
    void ReleaseWarrior();
    // Whether an access object is attached; safe from any thread.
    bool IsConnected() const { return m_bConnected.load(std::memory_order_acquire); }
    // The serial number of the controller the box was last attached to, read as it was attached
    // (the controller is the pass thread's once sampling runs); empty for one never attached.
    const std::u16string& GetSerialNumber() const { return m_strSerialNumber; }
    void ConfigureHardware();
    void UnconfigureHardware();
    const TCHiIobWarrior* GetWarrior() const { return m_pWarrior.get(); }
    TCHiIobWarrior* GetWarrior() { return m_pWarrior.get(); }
    // The waits the box samples with (spec without a controller), and why, as the last
    // configuration chose them. Host thread, or the box's pass thread.
    zentrix::Timing GetTiming() const {
        return m_pWarrior ? m_pWarrior->GetTiming() : zentrix::Timing::Spec;
    }
    const std::string& GetTimingReason() const { return m_strTimingReason; }

    // Takes the device when its port exists and fits its type, its connector position fits its
    // type and its id is free in this box; a device without id gets the setup's next id first and
    // is refused when none is left. Returns whether the box took it, and says why not in refusal.
    bool AddDevice(std::int32_t portId, std::unique_ptr<TCHiIobDevice> device,
                   zentrix::DeviceRefusal* refusal = nullptr);
    void RemoveDevice(std::int32_t deviceId);
    const TCHiIobDevice* GetDeviceById(std::int32_t deviceId) const;
    TCHiIobDevice* GetDeviceById(std::int32_t deviceId);
    void GetDevices(std::vector<const TCHiIobDevice*>& devices) const;
    void GetDevices(std::vector<TCHiIobDevice*>& devices);
    std::int32_t GetPortOfDevice(std::int32_t deviceId) const;
    void GetDevicesOnPort(std::int32_t portId, std::vector<const TCHiIobDevice*>& devices) const;

    // False when the command could not be queued (the box's queue is full, or memory ran out).
    bool QueueCommand(std::int32_t deviceId, std::int32_t commandId);
    // Queued past the bound of the host's commands, so that start and stop always reach them.
    void QueueDefaultCommands();
    // False only when the command's line cannot take another pulse yet: it is to be kept for a
    // later pass. Commands that cannot be carried out at all are dropped and count as done.
    bool ExecuteCommand(std::int32_t deviceId, std::int32_t commandId);
    void ReceiveSignal(std::int32_t deviceId, std::int32_t signalId, tagTECKavexIdtHiValue& record);

    void ResetForSampling();
    void PrepareOutputs();
    void InputPass(bool onlyChanged);
    // Commands are (device id, command id) pairs in arrival order. The pass empties the list as
    // it carries them out, so that after an exception the list holds those still to do, in order;
    // after a normal return it holds the commands of devices whose line could not take another
    // pulse yet, each device's from the first one refused on, in order.
    void OutputPass(std::vector<std::pair<std::int32_t, std::int32_t>>& commands, bool onlyChanged);
    void FinishOutputs();
    // Whether the write passes read changed inputs between devices: from the end of the passes
    // that begin sampling until those that end it.
    void SetInputsFirst(bool inputsFirst);

    // While the setup keeps events, each pass hands the box's buffer what it saw and did, in time
    // order. NoteStartState is the host's thread's, at the start of sampling; TakeEvents the
    // host's, at any time.
    void NoteStartState(std::int64_t timeUs);
    void TakeEvents(std::vector<tagZentrixEvent>& events) { m_events.TakeAll(events); }
    // For tests of the buffer's bound.
    const TCHiIobEventBuffer& GetEventBuffer() const { return m_events; }

private:
    // One signal of one device as the passes visit it, with its absolute line and value slot.
    struct PlannedSignal {
        TCHiIobDevice* device;
        const TCHiIobSignal* signal;
        std::int32_t portId;
        std::int32_t line;
        std::size_t slot;
        // The input register that holds the line, for an input line of a TTL port; 0 otherwise.
        std::uint8_t readCommand = 0;
        std::int32_t bit = 0;
    };

    // Line levels by port id and line, both 1-based, for every line a port can have (an SDI
    // port's expander has 28).
    using LineLevels = std::array<std::array<std::uint8_t, 29>, kTtlPortCount + kSdiPortCount + 1>;

    // A box whose transfer was given up during a stop counts as failed, as one whose input read
    // ran out its ladder: it is taken out of service, so that no later step waits for it again.
    void DetachIfAbandoned();
    void RebuildPlanIfNeeded();
    void DetachAfterFailedRead();
    // Feeds the line signals every input register read of the passes since the last input pass,
    // in order, so that no level is lost to a later read of the same register.
    void DeriveFromInputReads();
    // Host thread, after Configure: the waits the box samples with, as the setup's choice says.
    void ChooseTiming();
    // The level of a planned line: read from the hardware and remembered while the box has it,
    // and the remembered one (at first the idle level) when it has none.
    std::uint8_t LineLevel(const PlannedSignal& planned, bool readFromHardware, bool output,
                           LineLevels& remembered) const;
    std::vector<TCHiIobValue> StartValues() const;
    void Publish(std::vector<TCHiIobValue> values);
    bool KeepsEvents() const;
    void NoteLineEdge(const PlannedSignal& planned, const TCHiIobValue& value, std::uint8_t level,
                      std::uint64_t earliestUs, std::uint64_t timeUs);
    void NoteDataChange(const PlannedSignal& planned, const TCHiIobValue& before,
                        const TCHiIobValue& after);
    void NoteOutputChanges();
    void NoteBoxLost();
    // Hands the pass's events to the buffer, in time order.
    void FlushPassEvents();

    // Not owned, outlives this.
    TCHiIobHardwareSetup* m_pSetup;
    std::int32_t m_iId;
    std::string m_strName;
    std::unique_ptr<TCHiIobPorts> m_pPorts;
    std::unique_ptr<TCHiIobDevices> m_pDevices;
    std::map<std::int32_t, std::int32_t> m_mapLinks;
    std::unique_ptr<TCHiIobWarrior> m_pWarrior;
    std::atomic<bool> m_bConnected{false};
    std::u16string m_strSerialNumber;
    std::unique_ptr<TCHiIobSignalProcessor> m_pSignalProcessor;

    bool m_bPlanValid = false;
    std::vector<PlannedSignal> m_vecInputSignals;
    std::vector<PlannedSignal> m_vecOutputSignals;
    std::shared_ptr<const TCHiIobValueLayout> m_pLayout;
    std::vector<std::uint8_t> m_vecBytes;
    std::vector<TCHiIobWarrior::InputRead> m_vecInputReads;
    std::string m_strTimingReason;
    // What the lines last showed, kept when the controller is lost: a box without hardware reports
    // these levels and counts no edge, instead of deriving presses from lines nobody read. Inputs
    // start high, the level of a pulled-up line that nothing drives; outputs start low (off).
    LineLevels m_aInputLevels;
    LineLevels m_aOutputLevels{};
    TCHiIobEventBuffer m_events;
    std::vector<tagZentrixEvent> m_vecPassEvents;
    std::vector<TCHiIobWarrior::OutputChange> m_vecOutputChanges;
    // When the last input pass began, for a line whose level came from no timed register read.
    std::uint64_t m_nLastInputPassUs = 0;
};

#endif
