// A configured device: an instance of a device type on a port of an IO box, with the per-signal
// state its values are derived from. The signal state is driven only by the thread that runs the
// sampling passes; identity fields change only while the sampler is stopped.
#ifndef ZENTRIX_MODEL_DEVICE_H
#define ZENTRIX_MODEL_DEVICE_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "model/Value.h"
#include "sampling/SignalState.h"
#include "sampling/SignalValueHandler.h"

class TCHiIobHardwareSetup;
class TCHiIobCommand;
class TCHiIobDeviceType;
class TCHiIobSignal;

class TCHiIobDevice {
public:
    // Builds a line state for every line signal of the type and a value handler for every data
    // signal. A device id below 0 means the device has no id yet.
    TCHiIobDevice(const TCHiIobHardwareSetup* setup, std::string name, std::int32_t deviceTypeId,
                  std::int32_t connectorPortId, std::int32_t deviceId);
    virtual ~TCHiIobDevice() = default;
    TCHiIobDevice(const TCHiIobDevice&) = delete;
    TCHiIobDevice& operator=(const TCHiIobDevice&) = delete;

    // An id is given at most once, and only a non-negative one.
    void SetDeviceId(std::int32_t id);

    std::int32_t GetDeviceId() const { return m_iDeviceId; }
    std::string GetDeviceName() const { return m_strDeviceName; }
    std::int32_t GetDeviceTypeId() const { return m_iDeviceTypeId; }
    std::int32_t GetConnectorPortId() const { return m_iConnectorPortId; }
    // The device's type in the catalog, or null for an id the catalog lacks.
    const TCHiIobDeviceType* GetDeviceType() const { return m_pDeviceType; }

    // Absolute port lines of a definition's relative line, shifted by the connector position;
    // kNoLine for a position that the device's connector does not have.
    static constexpr std::int32_t kNoLine = -1;
    std::int32_t GetSignalLine(const TCHiIobSignal& signal) const;
    std::int32_t GetCommandLine(const TCHiIobCommand& command) const;

    // Feed one sample to the state or handler kept for the signal; without one the value stays as
    // it was passed. A level that was not read from the hardware is held without counting an edge.
    // True when the sample counted an edge.
    bool DeriveLineSignal(const TCHiIobSignal& signal, std::uint8_t level, TCHiIobValue& value,
                          bool levelWasRead = true);
    void DeriveDataSignal(const TCHiIobSignal& signal, const std::vector<std::uint8_t>& bytes,
                          TCHiIobValue& value);
    // The running total of a data signal (undefined before its first report or without one).
    TCHiIobValue GetDataTotal(const TCHiIobSignal& signal) const;
    void ResetSignalStates();
    void ClearSignalValueHandlers();

    // Whether the connector position fits the device type: none for a type plugged straight into
    // a port, 1 to the connector's position count otherwise.
    bool IsValid() const;

private:
    std::int32_t AbsoluteLine(std::int32_t relativeLine) const;

    // Not owned, outlives this.
    const TCHiIobHardwareSetup* m_pSetup;
    std::int32_t m_iDeviceId;
    std::string m_strDeviceName;
    std::int32_t m_iDeviceTypeId;
    std::int32_t m_iConnectorPortId;
    // The setup's catalog entry: not owned, outlives this.
    const TCHiIobDeviceType* m_pDeviceType;
    std::map<std::int32_t, std::unique_ptr<TCHiIobSignalState>> m_mapSignalStates;
    std::map<std::int32_t, std::unique_ptr<TCHiIobSignalValueHandler>> m_mapValueHandlers;
};

// The devices of one IO box, keyed and listed by ascending device id.
class TCHiIobDevices {
public:
    TCHiIobDevices() = default;
    virtual ~TCHiIobDevices() = default;
    TCHiIobDevices(const TCHiIobDevices&) = delete;
    TCHiIobDevices& operator=(const TCHiIobDevices&) = delete;

    // Takes the device unless its id is already present; returns whether it was taken (a device
    // that was not taken is destroyed).
    bool Add(std::unique_ptr<TCHiIobDevice> device);
    void Remove(std::int32_t id);
    const TCHiIobDevice* Find(std::int32_t id) const;
    TCHiIobDevice* Find(std::int32_t id);
    void GetAll(std::vector<const TCHiIobDevice*>& devices) const;
    void GetAll(std::vector<TCHiIobDevice*>& devices);
    bool IsEmpty() const { return m_mapDevices.empty(); }

private:
    std::map<std::int32_t, std::unique_ptr<TCHiIobDevice>> m_mapDevices;
};

#endif
