// One IO box as the plug-in sees it: its ports, the devices assigned to them, the access object
// of its controller and the passes that connect the two. Devices change only on the host's thread
// while the sampler is stopped; the passes run on one sampling thread at a time (the one of the
// box's controller, or the host's inside start and stop of sampling); QueueCommand, ReceiveSignal
// and IsConnected may run on the host's thread at any time and touch only the controller, the
// signal processor and atomic state.
#ifndef ZENTRIX_IOBOX_IOBOX_H
#define ZENTRIX_IOBOX_IOBOX_H

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
    void ConfigureHardware();
    void UnconfigureHardware();
    const TCHiIobWarrior* GetWarrior() const { return m_pWarrior.get(); }
    TCHiIobWarrior* GetWarrior() { return m_pWarrior.get(); }

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

    void QueueCommand(std::int32_t deviceId, std::int32_t commandId);
    void QueueDefaultCommands();
    void ExecuteCommand(std::int32_t deviceId, std::int32_t commandId);
    void ReceiveSignal(std::int32_t deviceId, std::int32_t signalId, tagTECKavexIdtHiValue& record);

    void ResetForSampling();
    void PrepareOutputs();
    void InputPass(bool onlyChanged);
    // Commands are (device id, command id) pairs in arrival order. The pass empties the list as
    // it carries them out, so that after an exception the list holds those still to do, in order.
    void OutputPass(std::vector<std::pair<std::int32_t, std::int32_t>>& commands, bool onlyChanged);
    void FinishOutputs();

private:
    // One signal of one device as the passes visit it, with its absolute line and value slot.
    struct PlannedSignal {
        TCHiIobDevice* device;
        const TCHiIobSignal* signal;
        std::int32_t portId;
        std::int32_t line;
        std::size_t slot;
    };

    void RebuildPlanIfNeeded();
    std::vector<TCHiIobValue> StartValues() const;
    void Publish(std::vector<TCHiIobValue> values);

    // Not owned, outlives this.
    TCHiIobHardwareSetup* m_pSetup;
    std::int32_t m_iId;
    std::string m_strName;
    std::unique_ptr<TCHiIobPorts> m_pPorts;
    std::unique_ptr<TCHiIobDevices> m_pDevices;
    std::map<std::int32_t, std::int32_t> m_mapLinks;
    std::unique_ptr<TCHiIobWarrior> m_pWarrior;
    std::atomic<bool> m_bConnected{false};
    std::unique_ptr<TCHiIobSignalProcessor> m_pSignalProcessor;

    bool m_bPlanValid = false;
    std::vector<PlannedSignal> m_vecInputSignals;
    std::vector<PlannedSignal> m_vecOutputSignals;
    std::shared_ptr<const TCHiIobValueLayout> m_pLayout;
    std::vector<std::uint8_t> m_vecBytes;
};

#endif
