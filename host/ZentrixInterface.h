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

#endif
