// Device types with the commands and signals that the host addresses. Built once by the catalog
// and shared read-only afterwards, so none of these classes takes a lock.
#ifndef ZENTRIX_MODEL_DEVICETYPE_H
#define ZENTRIX_MODEL_DEVICETYPE_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "model/Value.h"

enum : std::int32_t { ePortKindTtl = 0, ePortKindSdi = 1 };
enum : std::int32_t { eSignalSourceInput = 0, eSignalSourceOutput = 1 };
enum : std::int32_t { eSignalKindLine = 0, eSignalKindData = 1 };
enum : std::int32_t {
    eDerivationIsLow = 0,
    eDerivationIsHigh = 1,
    eDerivationRisingCount = 2,
    eDerivationFallingCount = 3,
};

// Writes a level to one relative output line; a positive pulse duration sets the line back to the
// opposite level after that many milliseconds.
class TCHiIobCommand {
public:
    TCHiIobCommand(std::int32_t id, std::string name, bool isDefault, std::int32_t line, bool level,
                   std::int32_t pulseDuration);
    virtual ~TCHiIobCommand() = default;

    std::int32_t GetId() const { return m_iId; }
    std::string GetName() const { return m_strName; }
    bool IsDefault() const { return m_bIsDefault; }
    std::int32_t GetLine() const { return m_iLine; }
    bool GetLevel() const { return m_bLevel; }
    std::int32_t GetPulseDuration() const { return m_iPulseDuration; }

private:
    std::int32_t m_iId = -1;
    std::string m_strName;
    bool m_bIsDefault = false;
    std::int32_t m_iLine = -1;
    bool m_bLevel = false;
    std::int32_t m_iPulseDuration = 0;
};

// The plain record a signal is built from; the catalog fills every field before each use.
struct TCHiIobSignalData {
    std::int32_t m_iId = -1;
    std::string m_strName;
    std::int32_t m_iSource = -1;
    std::int32_t m_iKind = -1;
    std::int32_t m_iLine = -1;
    std::int32_t m_iDataLength = 0;
    std::int32_t m_iFirstByte = -1;
    std::int32_t m_iLastByte = -1;
    std::int32_t m_iDerivation = -1;
    bool m_bIdleLevel = true;
    bool m_bDifferential = false;
    std::int32_t m_eValueType = -1;
    bool m_bHasValDefault = false;
    TCHiIobValue m_valDefault;
};

class TCHiIobSignal {
public:
    explicit TCHiIobSignal(const TCHiIobSignalData& data);
    virtual ~TCHiIobSignal() = default;

    std::int32_t GetId() const { return m_iId; }
    std::string GetName() const { return m_strName; }
    std::int32_t GetSource() const { return m_iSource; }
    std::int32_t GetKind() const { return m_iKind; }
    std::int32_t GetLine() const { return m_iLine; }
    std::int32_t GetDataLength() const { return m_iDataLength; }
    std::int32_t GetFirstByte() const { return m_iFirstByte; }
    std::int32_t GetLastByte() const { return m_iLastByte; }
    std::int32_t GetDerivation() const { return m_iDerivation; }
    bool GetIdleLevel() const { return m_bIdleLevel; }
    bool IsDifferential() const { return m_bDifferential; }
    std::int32_t GetValueType() const { return m_eValueType; }
    bool HasDefault() const { return m_bHasValDefault; }

    tagTECKavexIdtHiValue ToHostValue(const TCHiIobValue& value) const;
    tagTECKavexIdtHiValue GetDefault() const { return ToHostValue(m_valDefault); }

private:
    std::int32_t m_iId = -1;
    std::string m_strName;
    std::int32_t m_iSource = -1;
    std::int32_t m_iKind = -1;
    std::int32_t m_iLine = -1;
    std::int32_t m_iDataLength = 0;
    std::int32_t m_iFirstByte = -1;
    std::int32_t m_iLastByte = -1;
    std::int32_t m_iDerivation = -1;
    bool m_bIdleLevel = true;
    bool m_bDifferential = false;
    std::int32_t m_eValueType = -1;
    bool m_bHasValDefault = false;
    TCHiIobValue m_valDefault;
};

class TCHiIobDeviceType {
public:
    TCHiIobDeviceType(std::int32_t id, std::string name, double maxFrequency, std::int32_t portKind,
                      std::int32_t connectorTypeId);
    virtual ~TCHiIobDeviceType() = default;
    TCHiIobDeviceType(const TCHiIobDeviceType&) = delete;
    TCHiIobDeviceType& operator=(const TCHiIobDeviceType&) = delete;

    std::int32_t GetId() const { return m_iId; }
    std::string GetName() const { return m_strName; }
    double GetMaxFrequency() const { return m_dbMaxFrequency; }
    std::int32_t GetPortKind() const { return m_iPortKind; }
    std::int32_t GetConnectorTypeId() const { return m_iConnectorTypeId; }

    void AddCommand(std::unique_ptr<TCHiIobCommand> command);
    void AddSignal(std::unique_ptr<TCHiIobSignal> signal);

    // Both replace the caller's list with the definitions in the order they were added.
    void GetCommands(std::vector<const TCHiIobCommand*>& commands) const;
    void GetSignals(std::vector<const TCHiIobSignal*>& signals) const;
    void GetSignalsOfSource(std::vector<const TCHiIobSignal*>& signals, std::int32_t source) const;

    // The first definition with that id in the order added, or null.
    const TCHiIobCommand* FindCommand(std::int32_t id) const;
    const TCHiIobSignal* FindSignal(std::int32_t id) const;

private:
    std::int32_t m_iId = -1;
    std::string m_strName;
    double m_dbMaxFrequency = -1.0;
    std::int32_t m_iPortKind = -1;
    std::int32_t m_iConnectorTypeId = -1;
    std::vector<std::unique_ptr<TCHiIobCommand>> m_vecCommands;
    std::vector<std::unique_ptr<TCHiIobSignal>> m_vecSignals;
};

// The catalog of device types, keyed and listed by ascending id.
class TCHiIobDeviceTypes {
public:
    TCHiIobDeviceTypes() = default;
    virtual ~TCHiIobDeviceTypes() = default;
    TCHiIobDeviceTypes(const TCHiIobDeviceTypes&) = delete;
    TCHiIobDeviceTypes& operator=(const TCHiIobDeviceTypes&) = delete;

    // Keeps the first type added under an id; a later one with the same id is discarded.
    void Add(std::unique_ptr<TCHiIobDeviceType> deviceType);
    const TCHiIobDeviceType* Find(std::int32_t id) const;
    const TCHiIobDeviceType* FindByName(const std::string& name) const;
    void GetAll(std::vector<const TCHiIobDeviceType*>& types) const;
    // Types plugged straight into a port of that kind.
    void GetDirectTypes(std::int32_t portKind, std::vector<const TCHiIobDeviceType*>& types) const;
    // Types that sit behind the connector type with that id.
    void GetTypesOfConnector(std::int32_t connectorTypeId,
                             std::vector<const TCHiIobDeviceType*>& types) const;

private:
    std::map<std::int32_t, std::unique_ptr<TCHiIobDeviceType>> m_mapTypes;
};

#endif
