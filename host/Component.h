// The component object that a host creates through the class factory: a thin adapter that
// converts strings, copies records, allocates the arrays the host frees, and forwards every call
// to its one hardware setup. Apartment model: the host calls it from one thread at a time, and
// every interface method runs on that thread; none takes a lock of its own. Which calls block and
// which lock they reach is said at TCHiIobHardwareSetup: StartSampler, StopSampler, Load and
// ShowDialog block (StopSampler joins the sampling threads), SendCommand only queues under the
// controller's lock and ReceiveSignal reads one value under it. Arrays handed out are allocated
// with the task allocator and owned by the host, which frees them with CoTaskMemFree.
#ifndef ZENTRIX_HOST_COMPONENT_H
#define ZENTRIX_HOST_COMPONENT_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

#include "host/ZentrixInterface.h"

class TCHiIobHardwareSetup;

// The second interface, IZentrixEvents, shares the object's IUnknown; asking for it is what
// starts the keeping of events.
class TCHiIobHardwareInterface final : public ITECKavexHardwareInterface, public IZentrixEvents {
public:
    // Creates the object with one reference held by the caller. With an outer unknown the object
    // is aggregated: its interface delegates IUnknown to the outer, and the returned unknown is
    // the inner, non-delegating one. Throws on failure (out of memory).
    static IUnknown* Create(IUnknown* outer);

    HRESULT QueryInterface(const GUID& riid, void** ppvObject) override;
    ULONG AddRef() override;
    ULONG Release() override;

    HRESULT Load(const char16_t* pszDirectoryName) override;
    HRESULT Save(const char16_t* pszDirectoryName) override;
    HRESULT IsIODeviceConnected(std::int32_t iIODeviceId) override;
    HRESULT GetIODevices(std::int32_t* piNrIODevices,
                         tagTECKavexIdtIODevice** ppIODevices) override;
    HRESULT GetDevices(std::int32_t* piNrDevices, tagTECKavexIdtHiDevice** ppDevices) override;
    HRESULT GetDeviceTypes(std::int32_t* piNrDeviceTypes,
                           tagTECKavexIdtHiDeviceType** ppDeviceTypes) override;
    HRESULT GetCommands(std::int32_t iDeviceTypeId, std::int32_t* piNrCommands,
                        tagTECKavexIdtHiCommand** ppCommands) override;
    HRESULT GetSignals(std::int32_t iDeviceTypeId, std::int32_t* piNrSignals,
                       tagTECKavexIdtHiSignal** ppSignals) override;
    HRESULT SendCommand(std::int32_t iDeviceId, std::int32_t iCommandId) override;
    HRESULT ReceiveSignal(std::int32_t iDeviceId, std::int32_t iSignalId,
                          tagTECKavexIdtHiValue* pbValue) override;
    HRESULT StartSampler() override;
    HRESULT StopSampler() override;
    HRESULT ShowDialog(std::int8_t bReadonly) override;

    HRESULT GetEvents(std::int32_t* piNrEvents, tagZentrixEvent** ppEvents) override;
    HRESULT GetTimeBase(tagZentrixTimeBase* pTimeBase) override;
    HRESULT GetTime(std::int64_t* pnMonotonicUs) override;
    HRESULT GetIODeviceSerial(std::int32_t iIODeviceId, char16_t* pszSerial) override;

    // Objects alive in this process; each keeps the module from unloading. Any thread.
    static std::int32_t LiveObjects();

    // At process exit (and quick_exit, and an unload of the module), before anything the
    // sampling threads use is destroyed: stops the sampling of every object still alive and puts
    // its outputs back to their defaults, waiting at most three seconds in all; objects whose
    // threads are still in a pass after two (a box that stopped answering) keep sampling until
    // the process is gone, on objects that stay alive.
    static void StopSamplingAtExit() noexcept;

private:
    // The identity of an aggregated object: answers for the inner object and owns its lifetime.
    class InnerUnknown final : public IUnknown {
    public:
        explicit InnerUnknown(TCHiIobHardwareInterface& object) : m_object(object) {}
        HRESULT QueryInterface(const GUID& riid, void** ppvObject) override;
        ULONG AddRef() override;
        ULONG Release() override;

    private:
        TCHiIobHardwareInterface& m_object;
    };

    explicit TCHiIobHardwareInterface(IUnknown* outer);
    ~TCHiIobHardwareInterface();

    // Wait for the sampling mutex and the sampling threads only until the deadline.
    static void StopEveryComponentBefore(std::chrono::steady_clock::time_point deadline) noexcept;
    void StopSamplingBefore(std::chrono::steady_clock::time_point deadline) noexcept;

    HRESULT InnerQueryInterface(const GUID& riid, void** ppvObject);
    ULONG InnerAddRef();
    ULONG InnerRelease();

    InnerUnknown m_inner;
    // The aggregating object, or null: not owned, outlives this.
    IUnknown* m_pOuter;
    std::atomic<ULONG> m_nReferences{1};
    std::unique_ptr<TCHiIobHardwareSetup> m_pSetup;
    // Held by the calls that start or stop the sampler (StartSampler, StopSampler, Load,
    // ShowDialog), so that the stop at exit, which may come on another thread, never meets one.
    std::mutex m_samplingMutex;
};

#endif
