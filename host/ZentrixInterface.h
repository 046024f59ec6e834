// The contract between a host application and the Zentrix hardware-interface plug-in.
// Self-contained: a host includes this header alone, loads libzentrix.so and reaches the
// component through DllGetClassObject. Every record is laid out byte for byte as the type library
// ZentrixLib declares it, so hosts built from those tables work unchanged.
#ifndef ZENTRIX_HOST_ZENTRIXINTERFACE_H
#define ZENTRIX_HOST_ZENTRIXINTERFACE_H

#include <cstddef>
#include <cstdint>

using HRESULT = std::int32_t;
using ULONG = std::uint32_t;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};

constexpr bool operator==(const GUID& a, const GUID& b) noexcept {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) {
        return false;
    }
    for (int i = 0; i < 8; ++i) {
        if (a.Data4[i] != b.Data4[i]) {
            return false;
        }
    }
    return true;
}

constexpr bool IsEqualGUID(const GUID& a, const GUID& b) noexcept {
    return a == b;
}

// {00000000-0000-0000-C000-000000000046}
inline constexpr GUID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {00000001-0000-0000-C000-000000000046}
inline constexpr GUID IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {00020400-0000-0000-C000-000000000046}
inline constexpr GUID IID_IDispatch = {
    0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {0B004DAC-F384-4139-A3A3-2BD33850689C}
inline constexpr GUID IID_ITECKavexHardwareInterface = {
    0x0B004DAC, 0xF384, 0x4139, {0xA3, 0xA3, 0x2B, 0xD3, 0x38, 0x50, 0x68, 0x9C}};
// {AABBC529-E3D6-43F3-A4B4-08310341BCD0}
inline constexpr GUID CLSID_Zentrix = {
    0xAABBC529, 0xE3D6, 0x43F3, {0xA4, 0xB4, 0x08, 0x31, 0x03, 0x41, 0xBC, 0xD0}};
// {81A539DA-4F55-4F59-8D32-CB10D487A056}
inline constexpr GUID LIBID_ZentrixLib = {
    0x81A539DA, 0x4F55, 0x4F59, {0x8D, 0x32, 0xCB, 0x10, 0xD4, 0x87, 0xA0, 0x56}};
// {EB643C1B-5B4B-4D9A-8DDD-F036E2EF6D95}
inline constexpr GUID APPID_Zentrix = {
    0xEB643C1B, 0x5B4B, 0x4D9A, {0x8D, 0xDD, 0xF0, 0x36, 0xE2, 0xEF, 0x6D, 0x95}};
// {AA96C423-B08F-4DC6-A7DF-F82234754970}
inline constexpr GUID CATID_ZentrixHardwareInterfaces = {
    0xAA96C423, 0xB08F, 0x4DC6, {0xA7, 0xDF, 0xF8, 0x22, 0x34, 0x75, 0x49, 0x70}};

class IUnknown {
public:
    virtual HRESULT QueryInterface(const GUID& riid, void** ppvObject) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

class IClassFactory : public IUnknown {
public:
    virtual HRESULT CreateInstance(IUnknown* pUnkOuter, const GUID& riid, void** ppvObject) = 0;
    virtual HRESULT LockServer(std::int32_t fLock) = 0;

protected:
    ~IClassFactory() = default;
};

enum tagEKavexIdtHiValueType : std::int32_t {
    eKavexIdtHiVtUndefined = -1,
    eKavexIdtHiVtBool = 0,
    eKavexIdtHiVtLongLong = 1,
    eKavexIdtHiVtDouble = 2,
    eKavexIdtHiVtDuration = 3,
};

// Names hold at most 119 UTF-16 units and a terminating null unit.
inline constexpr int kKavexNameLength = 120;

struct tagTECKavexIdtIODevice {
    std::int32_t m_iId;
    char16_t m_szName[kKavexNameLength];
};

struct tagTECKavexIdtHiDevice {
    std::int32_t m_iId;
    char16_t m_szName[kKavexNameLength];
    std::int32_t m_iDeviceTypeId;
};

struct tagTECKavexIdtHiDeviceType {
    std::int32_t m_iId;
    char16_t m_szName[kKavexNameLength];
    double m_MaxFrequency;
};

struct tagTECKavexIdtHiCommand {
    std::int32_t m_iId;
    char16_t m_szName[kKavexNameLength];
    std::int8_t m_bIsDefaultCommand;
};

struct tagTECKavexIdtHiValue {
    tagEKavexIdtHiValueType m_eType;
    std::int8_t m_bValueBoolean;
    std::int64_t m_lValueLongLong;
    double m_dbValueDouble;
    std::int64_t m_nMicroSeconds;
};

struct tagTECKavexIdtHiSignal {
    std::int32_t m_iId;
    char16_t m_szName[kKavexNameLength];
    tagEKavexIdtHiValueType m_eValueType;
    std::int8_t m_bHasValDefault;
    tagTECKavexIdtHiValue m_valDefault;
};

// The count out-parameters are declared in-out by the type library; the plug-in only writes them.
// Every returned array is allocated with CoTaskMemAlloc and belongs to the host, which frees it
// with CoTaskMemFree (or free()).
class ITECKavexHardwareInterface : public IUnknown {
public:
    virtual HRESULT Load(const char16_t* pszDirectoryName) = 0;
    virtual HRESULT Save(const char16_t* pszDirectoryName) = 0;
    virtual HRESULT IsIODeviceConnected(std::int32_t iIODeviceId) = 0;
    virtual HRESULT GetIODevices(std::int32_t* piNrIODevices,
                                 tagTECKavexIdtIODevice** ppIODevices) = 0;
    virtual HRESULT GetDevices(std::int32_t* piNrDevices, tagTECKavexIdtHiDevice** ppDevices) = 0;
    virtual HRESULT GetDeviceTypes(std::int32_t* piNrDeviceTypes,
                                   tagTECKavexIdtHiDeviceType** ppDeviceTypes) = 0;
    virtual HRESULT GetCommands(std::int32_t iDeviceTypeId, std::int32_t* piNrCommands,
                                tagTECKavexIdtHiCommand** ppCommands) = 0;
    virtual HRESULT GetSignals(std::int32_t iDeviceTypeId, std::int32_t* piNrSignals,
                               tagTECKavexIdtHiSignal** ppSignals) = 0;
    virtual HRESULT SendCommand(std::int32_t iDeviceId, std::int32_t iCommandId) = 0;
    virtual HRESULT ReceiveSignal(std::int32_t iDeviceId, std::int32_t iSignalId,
                                  tagTECKavexIdtHiValue* pbValue) = 0;
    virtual HRESULT StartSampler() = 0;
    virtual HRESULT StopSampler() = 0;
    virtual HRESULT ShowDialog(std::int8_t bReadonly) = 0;

protected:
    ~ITECKavexHardwareInterface() = default;
};

// {A9D2BCD3-FB9F-4DE4-915E-E4BDF2981CC2}
inline constexpr GUID IID_IZentrixEvents = {
    0xA9D2BCD3, 0xFB9F, 0x4DE4, {0x91, 0x5E, 0xE4, 0xBD, 0xF2, 0x98, 0x1C, 0xC2}};

// What an event says happened. Times are microseconds on the plug-in's monotonic clock (the one
// GetTime reads), the same for every box of the process.
enum tagEZentrixEventKind : std::int32_t {
    // The session's own events: m_iIODeviceId is -1.
    eZentrixEvSamplingStarted = 0,
    eZentrixEvSamplingStopped = 1,
    // At the start of sampling, one per IO box: m_iLevel 1 when it is attached to a controller.
    eZentrixEvBoxState = 2,
    // The box gave up its controller (unplugged, or it stopped answering); nothing more comes
    // from it until the next start of sampling.
    eZentrixEvBoxLost = 3,
    // An input line rose or fell, once per line signal of the device that the line feeds
    // (m_iSignalId): the edge happened after m_nEarliestUs and no later than m_nTimeUs, the read
    // that saw it. m_iLevel is the line's new level and m_value the signal's value after it.
    eZentrixEvRise = 4,
    eZentrixEvFall = 5,
    // A data signal (a lickometer's lick count or lick time) changed at the read m_nTimeUs, with
    // what it counted since the read at m_nEarliestUs: m_change is the amount, m_value the total.
    eZentrixEvDataChange = 6,
    // A command was carried out (m_iCommandId): the write that changed its line went out between
    // m_nEarliestUs and m_nTimeUs; m_iLevel is the level commanded. A command whose line already
    // had that level has the time of the pass that carried it out.
    eZentrixEvCommand = 7,
    // A pulse of that command ended: its line went back to m_iLevel in the write at that time.
    eZentrixEvPulseEnd = 8,
    // The box's buffer was full: m_nCount events after the ones before this were lost, the first
    // at m_nTimeUs.
    eZentrixEvDropped = 9,
};

struct tagZentrixEvent {
    tagEZentrixEventKind m_eKind;
    std::int32_t m_iIODeviceId;
    // -1 where the kind has no device, signal or command.
    std::int32_t m_iDeviceId;
    std::int32_t m_iSignalId;
    std::int32_t m_iCommandId;
    // A line level or a box's state (0 or 1), -1 where the kind has none.
    std::int32_t m_iLevel;
    std::int64_t m_nTimeUs;
    // The start of the window in which it happened; equal to m_nTimeUs where the time is exact,
    // 0 where nothing bounds it (a line already away from its idle level at the first read).
    std::int64_t m_nEarliestUs;
    std::int64_t m_nCount;
    // Filled as ReceiveSignal fills its record, by the signal's declared value type; undefined
    // (m_eType -1) where the kind has no signal.
    tagTECKavexIdtHiValue m_value;
    tagTECKavexIdtHiValue m_change;
};

// The same moment on two clocks, taken at the last StartSampler.
struct tagZentrixTimeBase {
    // On the events' monotonic clock.
    std::int64_t m_nMonotonicUs;
    // Microseconds since 1970-01-01 00:00:00 UTC.
    std::int64_t m_nUtcUs;
    // 0 until sampling has started once.
    std::int8_t m_bStarted;
};

// The component's second interface, reached with QueryInterface(IID_IZentrixEvents). Events are
// kept from that first QueryInterface on, in a bounded buffer per IO box (a host that never asks
// for them costs nothing), so a host that asks for them should do so before StartSampler. Called
// from the host's thread, as ITECKavexHardwareInterface is.
class IZentrixEvents : public IUnknown {
public:
    // The events since the previous call, in time order (each box's in the order they
    // happened), in an array allocated with CoTaskMemAlloc that the host frees with
    // CoTaskMemFree, also when the count is 0. E_POINTER for a null argument, E_OUTOFMEMORY
    // (count 0, null array, the events kept for the next call) when the array cannot be had.
    virtual HRESULT GetEvents(std::int32_t* piNrEvents, tagZentrixEvent** ppEvents) = 0;
    virtual HRESULT GetTimeBase(tagZentrixTimeBase* pTimeBase) = 0;
    // Now, on the events' clock.
    virtual HRESULT GetTime(std::int64_t* pnMonotonicUs) = 0;
    // The serial number of the controller of that IO box, zero-terminated in a buffer of
    // kKavexNameLength units: S_OK, or S_FALSE and an empty string for a box without one;
    // E_INVALIDARG for an id no box has.
    virtual HRESULT GetIODeviceSerial(std::int32_t iIODeviceId, char16_t* pszSerial) = 0;

protected:
    ~IZentrixEvents() = default;
};

// Entry points that libzentrix.so exports with C linkage, as types for dlsym.
extern "C" {
using PFN_DllGetClassObject = HRESULT (*)(const GUID* rclsid, const GUID* riid, void** ppv);
using PFN_DllCanUnloadNow = HRESULT (*)();
using PFN_DllRegisterServer = HRESULT (*)();
using PFN_DllUnregisterServer = HRESULT (*)();
using PFN_CoTaskMemAlloc = void* (*)(std::size_t cb);
using PFN_CoTaskMemFree = void (*)(void* pv);
}

static_assert(sizeof(GUID) == 16 && alignof(GUID) == 4);

static_assert(sizeof(tagEKavexIdtHiValueType) == 4);

static_assert(sizeof(tagTECKavexIdtIODevice) == 244 && alignof(tagTECKavexIdtIODevice) == 4);
static_assert(offsetof(tagTECKavexIdtIODevice, m_iId) == 0);
static_assert(offsetof(tagTECKavexIdtIODevice, m_szName) == 4);

static_assert(sizeof(tagTECKavexIdtHiDevice) == 248 && alignof(tagTECKavexIdtHiDevice) == 4);
static_assert(offsetof(tagTECKavexIdtHiDevice, m_iId) == 0);
static_assert(offsetof(tagTECKavexIdtHiDevice, m_szName) == 4);
static_assert(offsetof(tagTECKavexIdtHiDevice, m_iDeviceTypeId) == 244);

static_assert(sizeof(tagTECKavexIdtHiDeviceType) == 256 &&
              alignof(tagTECKavexIdtHiDeviceType) == 8);
static_assert(offsetof(tagTECKavexIdtHiDeviceType, m_iId) == 0);
static_assert(offsetof(tagTECKavexIdtHiDeviceType, m_szName) == 4);
static_assert(offsetof(tagTECKavexIdtHiDeviceType, m_MaxFrequency) == 248);

static_assert(sizeof(tagTECKavexIdtHiCommand) == 248 && alignof(tagTECKavexIdtHiCommand) == 4);
static_assert(offsetof(tagTECKavexIdtHiCommand, m_iId) == 0);
static_assert(offsetof(tagTECKavexIdtHiCommand, m_szName) == 4);
static_assert(offsetof(tagTECKavexIdtHiCommand, m_bIsDefaultCommand) == 244);

static_assert(sizeof(tagTECKavexIdtHiValue) == 32 && alignof(tagTECKavexIdtHiValue) == 8);
static_assert(offsetof(tagTECKavexIdtHiValue, m_eType) == 0);
static_assert(offsetof(tagTECKavexIdtHiValue, m_bValueBoolean) == 4);
static_assert(offsetof(tagTECKavexIdtHiValue, m_lValueLongLong) == 8);
static_assert(offsetof(tagTECKavexIdtHiValue, m_dbValueDouble) == 16);
static_assert(offsetof(tagTECKavexIdtHiValue, m_nMicroSeconds) == 24);

static_assert(sizeof(tagTECKavexIdtHiSignal) == 288 && alignof(tagTECKavexIdtHiSignal) == 8);
static_assert(offsetof(tagTECKavexIdtHiSignal, m_iId) == 0);
static_assert(offsetof(tagTECKavexIdtHiSignal, m_szName) == 4);
static_assert(offsetof(tagTECKavexIdtHiSignal, m_eValueType) == 244);
static_assert(offsetof(tagTECKavexIdtHiSignal, m_bHasValDefault) == 248);
static_assert(offsetof(tagTECKavexIdtHiSignal, m_valDefault) == 256);

static_assert(sizeof(tagEZentrixEventKind) == 4);
static_assert(sizeof(tagZentrixEvent) == 112 && alignof(tagZentrixEvent) == 8);
static_assert(offsetof(tagZentrixEvent, m_eKind) == 0);
static_assert(offsetof(tagZentrixEvent, m_iIODeviceId) == 4);
static_assert(offsetof(tagZentrixEvent, m_iDeviceId) == 8);
static_assert(offsetof(tagZentrixEvent, m_iSignalId) == 12);
static_assert(offsetof(tagZentrixEvent, m_iCommandId) == 16);
static_assert(offsetof(tagZentrixEvent, m_iLevel) == 20);
static_assert(offsetof(tagZentrixEvent, m_nTimeUs) == 24);
static_assert(offsetof(tagZentrixEvent, m_nEarliestUs) == 32);
static_assert(offsetof(tagZentrixEvent, m_nCount) == 40);
static_assert(offsetof(tagZentrixEvent, m_value) == 48);
static_assert(offsetof(tagZentrixEvent, m_change) == 80);

static_assert(sizeof(tagZentrixTimeBase) == 24 && alignof(tagZentrixTimeBase) == 8);
static_assert(offsetof(tagZentrixTimeBase, m_nMonotonicUs) == 0);
static_assert(offsetof(tagZentrixTimeBase, m_nUtcUs) == 8);
static_assert(offsetof(tagZentrixTimeBase, m_bStarted) == 16);

#endif
