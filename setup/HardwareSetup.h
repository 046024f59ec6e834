// The plug-in's central object: owns the controller, the catalog and the IO boxes, and answers
// every host call. Host-facing operations run on the host's thread; SendCommand and ReceiveSignal
// read the routing map without a lock because only the host's thread changes it, and devices
// change only while the sampler is stopped (a change that comes while it runs stops it around the
// change). The sampling operations run on whichever thread runs the passes: the passes of one box
// never run on two threads at once, and only the per-box passes of different controllers' boxes
// run side by side, touching nothing of the setup but their own boxes and the controller.
// The host-facing methods below are all called on the host's thread, one at a time; each says
// whether it blocks and which lock it takes. Pointers they hand out stay owned by the setup and
// are valid until the devices next change (Load, LoadNothing, a confirmed mapping) or the setup
// goes.
#ifndef ZENTRIX_SETUP_HARDWARESETUP_H
#define ZENTRIX_SETUP_HARDWARESETUP_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/ZentrixInterface.h"
#include "iobox/DeviceRefusal.h"
#include "iobox/ReplyWait.h"
#include "iobox/Timing.h"
#include "model/ConnectorType.h"
#include "model/DeviceType.h"
#include "platform/Clock.h"
#include "platform/IoWarriorLibrary.h"
#include "sampling/EventBuffer.h"
#include "sampling/SamplingMode.h"

class TCHiIobController;
class TCHiIobDevice;
class TCHiIobIOBox;
class TCHiIobPortMappings;
namespace zentrix {
class IoWarriorSession;
class MappingDialogRunner;
}  // namespace zentrix

class TCHiIobHardwareSetup {
public:
    // Builds the catalog and discovers the IO boxes through the process's IO-Warrior backend.
    // A controller that another live setup already holds gives a box that is listed but not
    // connected: its commands are dropped and its signals derive from idle levels.
    TCHiIobHardwareSetup();
    // The same with the library and clock a test hands in: the one way tests put a backend under
    // the plug-in, leaving the process's backend alone.
    TCHiIobHardwareSetup(zentrix::IoWarriorLibrary& library, zentrix::Clock& clock);
    // Stops sampling, takes the boxes out of service and gives back the controllers (the last
    // setup of the library closes it); no exception leaves it.
    virtual ~TCHiIobHardwareSetup();
    TCHiIobHardwareSetup(const TCHiIobHardwareSetup&) = delete;
    TCHiIobHardwareSetup& operator=(const TCHiIobHardwareSetup&) = delete;

    // Replaces every device by those stored in "HardwareSetup.xml" in the directory; a missing
    // file leaves no devices, a damaged one the devices read before the damage, and every stored
    // device that cannot be placed is dropped with a warning in the log. Blocks: a running
    // sampler is stopped (its threads joined) around the change and started again, and every box
    // is configured anew over USB. Throws when the sampler cannot be stopped.
    void Load(const std::string& directory);
    // Leaves no devices, as a Load from a directory without a configuration file does.
    void LoadNothing();
    // Writes every device to "HardwareSetup.xml" in the directory; true when the file now holds
    // exactly the devices, false (with a warning in the log) when the write failed and the
    // previous file, if any, was kept whole. Blocks on the file only; no lock, sampling goes on.
    bool Save(const std::string& directory) const;
    // Runs the port-to-device mapping in the toolkit library next to the plug-in; true when the
    // user confirmed a new mapping. Without that library or a display nothing is shown or changed.
    bool ShowDialog(bool readOnly);
    // The mapping dialog run through a toolkit's runner: without IO boxes only the message; on OK
    // the edited mapping is applied (a running sampler is stopped and started again around it).
    // True when the user confirmed a mapping; read-only mode and Cancel change nothing. Blocks
    // for as long as the modal dialog is open, and on OK as Load does.
    bool RunMappingDialog(zentrix::MappingDialogRunner& runner, bool readOnly);
    // The queries up to GetSignals take no lock and do not block; the lists hold pointers the
    // setup owns (see above).
    bool IsIODeviceConnected(std::int32_t ioBoxId) const;
    void GetIODevices(std::vector<const TCHiIobIOBox*>& boxes) const;
    void GetDevices(std::vector<const TCHiIobDevice*>& devices) const;
    void GetDeviceTypes(std::vector<const TCHiIobDeviceType*>& types) const;
    // An unknown type id leaves the caller's list as it was.
    void GetCommands(std::int32_t deviceTypeId, std::vector<const TCHiIobCommand*>& commands) const;
    void GetSignals(std::int32_t deviceTypeId, std::vector<const TCHiIobSignal*>& signals) const;
    // False when no box holds the device or its box could not queue the command (it already
    // holds the most commands a box keeps, or memory ran out). Only queues: takes the
    // controller's lock for the length of one insertion and returns; the next output pass
    // carries the command out.
    bool SendCommand(std::int32_t deviceId, std::int32_t commandId);
    // Leaves the record untouched when no box holds the device. Takes the controller's lock for
    // one read of the latest value, so it waits at most for a queueing or a publication, never
    // for the hardware.
    void ReceiveSignal(std::int32_t deviceId, std::int32_t signalId, tagTECKavexIdtHiValue& record);
    // Concurrent sampling runs one thread per IO-Warrior controller, serial sampling one thread for
    // every box in turn. The mode is the one SetSamplingMode set, else ZENTRIX_SAMPLING as it is
    // when sampling starts (concurrent when unset); a change takes effect at the next StartSampler.
    void SetSamplingMode(zentrix::SamplingMode mode);
    zentrix::SamplingMode GetSamplingMode() const;
    // The waits each box samples with: the choice set here, else ZENTRIX_TIMING as it is when the
    // box is configured (auto when unset: lean waits where a read-back on the box confirms them).
    // A change takes effect at the next configuration (Load, the mapping dialog). Host thread.
    void SetTimingChoice(zentrix::TimingChoice choice) { m_optTimingChoice = choice; }
    zentrix::TimingChoice GetTimingChoice() const {
        return m_optTimingChoice.value_or(zentrix::TimingChoiceFromEnvironment());
    }
    // Blocks for the first passes, which run on the host's thread (a full input pass, the default
    // commands, a full output pass, all over USB), then starts the sampling threads and returns.
    void StartSampler();
    // When ZENTRIX_PERIOD_TRACE names a file as the plug-in creates its setup, every stop appends
    // the periods sampled since the last stop to it, one line each: the sampling thread, the
    // period's end on the steady clock, its wall time, its mandatory waits and its thread's CPU
    // time, all in microseconds.
    // Blocks: joins the sampling threads, then finishes sampling on the host's thread, which puts
    // every output back to its default over USB.
    // False when a sampling thread could not be joined; it is then still winding down and the
    // next StopSampler, StartSampler or the destructor finishes the stop.
    bool StopSampler();
    // The same, waiting for the sampling threads only until the deadline, for a process that is
    // ending: false when a thread was still in its pass then (a box that stopped answering); it
    // is left running and no output is put back.
    bool StopSampler(std::chrono::steady_clock::time_point deadline);

    // For the setup's own parts (boxes, devices, sampler); owned by the setup, which outlives
    // them.
    TCHiIobController& GetController() { return *m_pController; }
    const TCHiIobController& GetController() const { return *m_pController; }
    zentrix::IoWarriorLibrary& GetIoWarriorLibrary() { return m_library; }
    zentrix::Clock& GetClock() { return m_clock; }
    // How the boxes' transfers wait for a controller that does not answer: the sampler changes it
    // as its threads start and stop, the boxes' access objects read it on their pass threads.
    std::atomic<zentrix::ReplyWait>& GetReplyWait() { return m_replyWait; }
    const TCHiIobDeviceType* GetDeviceType(std::int32_t id) const;
    const TCHiIobDeviceType* FindDeviceType(const std::string& name) const;
    void GetDeviceTypesOfConnector(std::int32_t connectorTypeId,
                                   std::vector<const TCHiIobDeviceType*>& types) const;
    void GetDirectDeviceTypes(std::int32_t portKind,
                              std::vector<const TCHiIobDeviceType*>& types) const;
    const TCHiIobConnectorType* GetConnectorType(std::int32_t id) const;
    const TCHiIobConnectorType* FindConnectorType(const std::string& name) const;
    void GetConnectorTypesOfPortKind(std::int32_t portKind,
                                     std::vector<const TCHiIobConnectorType*>& types) const;
    std::vector<std::int32_t> ListIOBoxIds() const;
    const TCHiIobIOBox* FindIOBox(std::int32_t ioBoxId) const;
    TCHiIobIOBox* FindIOBox(std::int32_t ioBoxId);

    // The largest device id over all boxes plus one, 0 without devices, -1 when exhausted.
    std::int32_t GetNextDeviceId() const;
    // Hands the device to the first box with that id (or the only box); a device that no box
    // takes, or whose id another box already holds, is destroyed. Returns whether it was taken,
    // and says why not in refusal.
    bool AddDevice(std::int32_t ioBoxId, std::int32_t portId, std::unique_ptr<TCHiIobDevice> device,
                   zentrix::DeviceRefusal* refusal = nullptr);
    void RemoveDevice(std::int32_t deviceId);
    void RemoveAllDevices();
    // Turns an edited mapping into devices: a device whose row is unchanged stays with its id,
    // every new or changed row becomes a new device with a fresh id, and devices whose rows are
    // gone are removed. Rows without a usable id or with one that another row holds add nothing.
    void ApplyLinks(const TCHiIobPortMappings& mappings);
    // Runs a change of the device set with every box's hardware taken out of service around it;
    // a running sampler is stopped first and started again after, so that no pass sees a
    // half-changed device set. Throws, changing nothing, when the sampler cannot be stopped.
    void ChangeDevices(const std::function<void()>& change);

    // Events are kept from the first KeepEvents on (a host that never asks for them pays
    // nothing); the boxes' passes read AreEventsKept on their threads.
    void KeepEvents() { m_bKeepEvents.store(true, std::memory_order_relaxed); }
    bool AreEventsKept() const { return m_bKeepEvents.load(std::memory_order_relaxed); }
    // Host thread: every event since the last call, the session's and every box's, in time
    // order. Events that could not be handed to the host go back with ReturnEvents, and come
    // first in the next call.
    void GetEvents(std::vector<tagZentrixEvent>& events);
    void ReturnEvents(std::vector<tagZentrixEvent>& events) noexcept;
    tagZentrixTimeBase GetTimeBase() const;
    std::int64_t GetEventTime() { return static_cast<std::int64_t>(m_clock.NowUs()); }

    void BeginSampling();
    void SampleInputs(bool onlyChanged);
    void SampleOutputs(bool onlyChanged);
    void EndSampling();
    // The boxes grouped by the controller they talk to, in box order: boxes that share an id
    // share a controller, so their passes must stay on one thread.
    std::vector<std::vector<TCHiIobIOBox*>> GetSamplingGroups() const;
    // The passes over some boxes only; a concurrent sampling thread runs them over its group.
    void SampleInputs(const std::vector<TCHiIobIOBox*>& boxes, bool onlyChanged);
    void SampleOutputs(const std::vector<TCHiIobIOBox*>& boxes, bool onlyChanged);

private:
    // Keeps a share of the library, as the setup does of the process's backend.
    TCHiIobHardwareSetup(const std::shared_ptr<zentrix::IoWarriorLibrary>& ownedLibrary,
                         zentrix::Clock& clock);
    TCHiIobHardwareSetup(std::shared_ptr<zentrix::IoWarriorLibrary> ownedLibrary,
                         zentrix::IoWarriorLibrary& library, zentrix::Clock& clock);

    void DiscoverIOBoxes();
    void FindIOBoxes();
    void AppendPeriodTrace();

    // Declared first so that it goes last, after everything that talks to the library.
    std::shared_ptr<zentrix::IoWarriorLibrary> m_pOwnedLibrary;
    // Not owned, outlive this (the process's backend, shared above, and clock, or a test's).
    zentrix::IoWarriorLibrary& m_library;
    zentrix::Clock& m_clock;
    std::optional<zentrix::TimingChoice> m_optTimingChoice;
    // Outlives the boxes' access objects, which point to it.
    std::atomic<zentrix::ReplyWait> m_replyWait{zentrix::ReplyWait::Whole};
    std::unique_ptr<TCHiIobController> m_pController;
    std::unique_ptr<zentrix::IoWarriorSession> m_pSession;
    std::vector<std::unique_ptr<TCHiIobIOBox>> m_vecIOBoxes;
    std::map<std::int32_t, TCHiIobIOBox*> m_mapRouting;
    std::unique_ptr<TCHiIobConnectorTypes> m_pConnectorTypes;
    std::unique_ptr<TCHiIobDeviceTypes> m_pDeviceTypes;
    std::string m_strPeriodTrace;
    std::atomic<bool> m_bKeepEvents{false};
    TCHiIobEventBuffer m_sessionEvents;
    std::vector<tagZentrixEvent> m_vecUndeliveredEvents;
    tagZentrixTimeBase m_timeBase{};
};

#endif
