#include "host/Component.h"

#include <dlfcn.h>

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/Module.h"
#include "iobox/IOBox.h"
#include "model/Device.h"
#include "model/DeviceType.h"
#include "platform/ComMemory.h"
#include "platform/Log.h"
#include "platform/NeverDestroyed.h"
#include "platform/format/TextConversion.h"
#include "setup/HardwareSetup.h"

namespace {

std::atomic<std::int32_t> g_liveObjects{0};

// How long the exit waits for the sampling threads to finish the pass they are in, and then for
// the outputs to be back at their defaults: long enough for a box that answers, short enough that
// one that stopped answering does not hold up the exit.
constexpr std::chrono::milliseconds kExitJoinTimeout{2000};
constexpr std::chrono::milliseconds kExitStopTimeout{3000};

// The objects alive in this process, for the stop at exit; left alone by the exit handlers, since
// an object the host releases from one of its own may come after them.
struct LiveComponents {
    std::mutex mutex;
    std::set<TCHiIobHardwareInterface*> components;
};

LiveComponents& TheLiveComponents() {
    static zentrix::NeverDestroyed<LiveComponents> live;
    return live.Get();
}

// Registered once, by the first start of sampling: the handlers run in the reverse order of
// registration, so this one runs before the destructors of the statics that were built before
// it, the process's backend and clock among them.
void StopSamplingAtExitOnce() {
    static const bool registered = [] {
        // The handlers live in this library, so it must stay mapped until the process ends: a host
        // that unloads it and then exits (or calls quick_exit) would otherwise run unmapped code.
        Dl_info self{};
        if (::dladdr(reinterpret_cast<void*>(&TCHiIobHardwareInterface::StopSamplingAtExit),
                     &self) != 0 &&
            self.dli_fname != nullptr) {
            ::dlopen(self.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
        }
        std::atexit(&TCHiIobHardwareInterface::StopSamplingAtExit);
        std::at_quick_exit(&TCHiIobHardwareInterface::StopSamplingAtExit);
        return true;
    }();
    static_cast<void>(registered);
}

// Runs a host call so that no exception crosses the component boundary.
template <typename Body>
HRESULT Guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

// Writes the count, allocates count records, writes the pointer and fills the records in order,
// as the host expects of every list call.
template <typename Record, typename Item, typename Fill>
HRESULT ReturnList(const std::vector<Item>& items, std::int32_t* count, Record** array,
                   bool zeroFirst, Fill&& fill) {
    if (count == nullptr || array == nullptr) {
        return E_POINTER;
    }
    *count = static_cast<std::int32_t>(items.size());
    auto* records = static_cast<Record*>(CoTaskMemAlloc(items.size() * sizeof(Record)));
    if (records == nullptr) {
        *count = 0;
        *array = nullptr;
        return E_OUTOFMEMORY;
    }
    if (zeroFirst) {
        std::memset(static_cast<void*>(records), 0, items.size() * sizeof(Record));
    }
    *array = records;
    for (std::size_t i = 0; i < items.size(); ++i) {
        fill(records[i], items[i]);
    }
    return S_OK;
}

// The longest directory name a host may pass, terminator included: the extended path limit of
// Windows, so that a name without a terminator is never read past it.
constexpr std::size_t kMaxDirectoryNameUnits = 32768;

const char* const kUnusableDirectoryName =
    "the directory name has an unpaired surrogate or no terminator within 32768 UTF-16 units";

// The host's directory name as a narrow path, or nothing when it cannot name a directory here: no
// terminator within the limit, or an unpaired surrogate, which no file name on this system holds
// and which would otherwise turn into U+FFFD and alias another directory.
std::optional<std::string> DirectoryFromHost(const char16_t* name) {
    std::size_t length = 0;
    while (length < kMaxDirectoryNameUnits && name[length] != u'\0') {
        ++length;
    }
    if (length == kMaxDirectoryNameUnits) {
        return std::nullopt;
    }
    const std::u16string_view text(name, length);
    for (std::size_t i = 0; i < length; ++i) {
        if (zentrix::IsHighSurrogate(text[i]) && i + 1 < length &&
            zentrix::IsLowSurrogate(text[i + 1])) {
            ++i;
        } else if (zentrix::IsHighSurrogate(text[i]) || zentrix::IsLowSurrogate(text[i])) {
            return std::nullopt;
        }
    }
    return zentrix::Utf16ToUtf8(text);
}

}  // namespace

IUnknown* TCHiIobHardwareInterface::Create(IUnknown* outer) {
    auto* object = new TCHiIobHardwareInterface(outer);
    if (outer != nullptr) {
        return &object->m_inner;
    }
    return static_cast<ITECKavexHardwareInterface*>(object);
}

TCHiIobHardwareInterface::TCHiIobHardwareInterface(IUnknown* outer)
    : m_inner(*this), m_pOuter(outer), m_pSetup(std::make_unique<TCHiIobHardwareSetup>()) {
    {
        LiveComponents& live = TheLiveComponents();
        const std::lock_guard lock(live.mutex);
        live.components.insert(this);
    }
    g_liveObjects.fetch_add(1);
    zentrix::ModuleLock();
}

TCHiIobHardwareInterface::~TCHiIobHardwareInterface() {
    {
        LiveComponents& live = TheLiveComponents();
        const std::lock_guard lock(live.mutex);
        live.components.erase(this);
    }
    m_pSetup.reset();
    g_liveObjects.fetch_sub(1);
    zentrix::ModuleUnlock();
}

std::int32_t TCHiIobHardwareInterface::LiveObjects() {
    return g_liveObjects.load();
}

void TCHiIobHardwareInterface::StopSamplingAtExit() noexcept {
    try {
        const auto start = std::chrono::steady_clock::now();
        struct Progress {
            std::mutex mutex;
            std::condition_variable condition;
            bool done = false;
        };
        auto progress = std::make_shared<Progress>();
        // On a thread of its own, since the exiting thread's thread-local objects are gone by now
        // and a wait for a thread can be given up.
        std::thread stopper([progress, joinDeadline = start + kExitJoinTimeout] {
            StopEveryComponentBefore(joinDeadline);
            {
                const std::lock_guard lock(progress->mutex);
                progress->done = true;
            }
            progress->condition.notify_all();
        });
        std::unique_lock lock(progress->mutex);
        if (progress->condition.wait_until(lock, start + kExitStopTimeout,
                                           [&] { return progress->done; })) {
            lock.unlock();
            stopper.join();
        } else {
            // Still putting outputs back on a box that stopped answering: it may go on until the
            // process is gone, on objects that stay alive.
            stopper.detach();
        }
    } catch (...) {
        // Without a thread to stop them the sampling threads run until the process is gone.
    }
}

void TCHiIobHardwareInterface::StopEveryComponentBefore(
    std::chrono::steady_clock::time_point deadline) noexcept {
    try {
        LiveComponents& live = TheLiveComponents();
        // Held throughout, so that no object goes while it is being stopped.
        const std::lock_guard lock(live.mutex);
        for (TCHiIobHardwareInterface* component : live.components) {
            component->StopSamplingBefore(deadline);
        }
    } catch (...) {
    }
}

void TCHiIobHardwareInterface::StopSamplingBefore(
    std::chrono::steady_clock::time_point deadline) noexcept {
    try {
        // Polled rather than timed, since the sanitizers do not follow a timed lock.
        std::unique_lock lock(m_samplingMutex, std::try_to_lock);
        while (!lock.owns_lock() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            static_cast<void>(lock.try_lock());
        }
        if (lock.owns_lock()) {
            m_pSetup->StopSampler(deadline);
        }
    } catch (...) {
    }
}

HRESULT TCHiIobHardwareInterface::InnerQueryInterface(const GUID& riid, void** ppvObject) {
    if (ppvObject == nullptr) {
        return E_POINTER;
    }
    if (riid == IID_IUnknown) {
        *ppvObject = m_pOuter != nullptr
                         ? static_cast<IUnknown*>(&m_inner)
                         : static_cast<IUnknown*>(static_cast<ITECKavexHardwareInterface*>(this));
    } else if (riid == IID_ITECKavexHardwareInterface) {
        *ppvObject = static_cast<ITECKavexHardwareInterface*>(this);
    } else if (riid == IID_IZentrixEvents) {
        m_pSetup->KeepEvents();
        *ppvObject = static_cast<IZentrixEvents*>(this);
    } else {
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    static_cast<IUnknown*>(*ppvObject)->AddRef();
    return S_OK;
}

ULONG TCHiIobHardwareInterface::InnerAddRef() {
    return ++m_nReferences;
}

ULONG TCHiIobHardwareInterface::InnerRelease() {
    const ULONG remaining = --m_nReferences;
    if (remaining == 0) {
        delete this;
    }
    return remaining;
}

HRESULT TCHiIobHardwareInterface::InnerUnknown::QueryInterface(const GUID& riid, void** ppvObject) {
    return m_object.InnerQueryInterface(riid, ppvObject);
}

ULONG TCHiIobHardwareInterface::InnerUnknown::AddRef() {
    return m_object.InnerAddRef();
}

ULONG TCHiIobHardwareInterface::InnerUnknown::Release() {
    return m_object.InnerRelease();
}

HRESULT TCHiIobHardwareInterface::QueryInterface(const GUID& riid, void** ppvObject) {
    if (m_pOuter != nullptr) {
        return m_pOuter->QueryInterface(riid, ppvObject);
    }
    return InnerQueryInterface(riid, ppvObject);
}

ULONG TCHiIobHardwareInterface::AddRef() {
    return m_pOuter != nullptr ? m_pOuter->AddRef() : InnerAddRef();
}

ULONG TCHiIobHardwareInterface::Release() {
    return m_pOuter != nullptr ? m_pOuter->Release() : InnerRelease();
}

HRESULT TCHiIobHardwareInterface::Load(const char16_t* pszDirectoryName) {
    if (pszDirectoryName == nullptr) {
        return E_POINTER;
    }
    return Guarded([&] {
        const std::lock_guard lock(m_samplingMutex);
        if (const std::optional<std::string> directory = DirectoryFromHost(pszDirectoryName)) {
            m_pSetup->Load(*directory);
        } else {
            zentrix::Log(
                zentrix::LogLevel::Warning, "config",
                std::string("Load: ") + kUnusableDirectoryName + "; no devices configured");
            m_pSetup->LoadNothing();
        }
        return S_OK;
    });
}

HRESULT TCHiIobHardwareInterface::Save(const char16_t* pszDirectoryName) {
    if (pszDirectoryName == nullptr) {
        return E_POINTER;
    }
    return Guarded([&] {
        // A failed save must not pass for a stored mapping: the host would lose it unawares.
        if (const std::optional<std::string> directory = DirectoryFromHost(pszDirectoryName)) {
            return m_pSetup->Save(*directory) ? S_OK : E_FAIL;
        }
        zentrix::Log(zentrix::LogLevel::Warning, "config",
                     std::string("Save: ") + kUnusableDirectoryName + "; nothing saved");
        return E_FAIL;
    });
}

HRESULT TCHiIobHardwareInterface::IsIODeviceConnected(std::int32_t iIODeviceId) {
    return Guarded([&] { return m_pSetup->IsIODeviceConnected(iIODeviceId) ? S_OK : S_FALSE; });
}

HRESULT TCHiIobHardwareInterface::GetIODevices(std::int32_t* piNrIODevices,
                                               tagTECKavexIdtIODevice** ppIODevices) {
    return Guarded([&] {
        std::vector<const TCHiIobIOBox*> boxes;
        m_pSetup->GetIODevices(boxes);
        return ReturnList(boxes, piNrIODevices, ppIODevices, true,
                          [](tagTECKavexIdtIODevice& record, const TCHiIobIOBox* box) {
                              record.m_iId = box->GetId();
                              zentrix::CopyToFixedName(box->GetName(), record.m_szName);
                          });
    });
}

HRESULT TCHiIobHardwareInterface::GetDevices(std::int32_t* piNrDevices,
                                             tagTECKavexIdtHiDevice** ppDevices) {
    return Guarded([&] {
        std::vector<const TCHiIobDevice*> devices;
        m_pSetup->GetDevices(devices);
        return ReturnList(devices, piNrDevices, ppDevices, false,
                          [](tagTECKavexIdtHiDevice& record, const TCHiIobDevice* device) {
                              record.m_iId = device->GetDeviceId();
                              zentrix::CopyToFixedName(device->GetDeviceName(), record.m_szName);
                              record.m_iDeviceTypeId = device->GetDeviceTypeId();
                          });
    });
}

HRESULT TCHiIobHardwareInterface::GetDeviceTypes(std::int32_t* piNrDeviceTypes,
                                                 tagTECKavexIdtHiDeviceType** ppDeviceTypes) {
    return Guarded([&] {
        std::vector<const TCHiIobDeviceType*> types;
        m_pSetup->GetDeviceTypes(types);
        return ReturnList(types, piNrDeviceTypes, ppDeviceTypes, false,
                          [](tagTECKavexIdtHiDeviceType& record, const TCHiIobDeviceType* type) {
                              record.m_iId = type->GetId();
                              zentrix::CopyToFixedName(type->GetName(), record.m_szName);
                              record.m_MaxFrequency = type->GetMaxFrequency();
                          });
    });
}

HRESULT TCHiIobHardwareInterface::GetCommands(std::int32_t iDeviceTypeId,
                                              std::int32_t* piNrCommands,
                                              tagTECKavexIdtHiCommand** ppCommands) {
    return Guarded([&] {
        std::vector<const TCHiIobCommand*> commands;
        m_pSetup->GetCommands(iDeviceTypeId, commands);
        return ReturnList(commands, piNrCommands, ppCommands, false,
                          [](tagTECKavexIdtHiCommand& record, const TCHiIobCommand* command) {
                              record.m_iId = command->GetId();
                              zentrix::CopyToFixedName(command->GetName(), record.m_szName);
                              record.m_bIsDefaultCommand = command->IsDefault() ? 1 : 0;
                          });
    });
}

HRESULT TCHiIobHardwareInterface::GetSignals(std::int32_t iDeviceTypeId, std::int32_t* piNrSignals,
                                             tagTECKavexIdtHiSignal** ppSignals) {
    return Guarded([&] {
        std::vector<const TCHiIobSignal*> signals;
        m_pSetup->GetSignals(iDeviceTypeId, signals);
        return ReturnList(signals, piNrSignals, ppSignals, false,
                          [](tagTECKavexIdtHiSignal& record, const TCHiIobSignal* signal) {
                              record.m_iId = signal->GetId();
                              zentrix::CopyToFixedName(signal->GetName(), record.m_szName);
                              record.m_eValueType =
                                  static_cast<tagEKavexIdtHiValueType>(signal->GetValueType());
                              record.m_bHasValDefault = signal->HasDefault() ? 1 : 0;
                              record.m_valDefault = signal->GetDefault();
                          });
    });
}

HRESULT TCHiIobHardwareInterface::SendCommand(std::int32_t iDeviceId, std::int32_t iCommandId) {
    return Guarded([&] { return m_pSetup->SendCommand(iDeviceId, iCommandId) ? S_OK : E_FAIL; });
}

HRESULT TCHiIobHardwareInterface::ReceiveSignal(std::int32_t iDeviceId, std::int32_t iSignalId,
                                                tagTECKavexIdtHiValue* pbValue) {
    if (pbValue == nullptr) {
        return E_POINTER;
    }
    return Guarded([&] {
        m_pSetup->ReceiveSignal(iDeviceId, iSignalId, *pbValue);
        return S_OK;
    });
}

HRESULT TCHiIobHardwareInterface::StartSampler() {
    return Guarded([&] {
        const std::lock_guard lock(m_samplingMutex);
        StopSamplingAtExitOnce();
        m_pSetup->StartSampler();
        return S_OK;
    });
}

HRESULT TCHiIobHardwareInterface::StopSampler() {
    return Guarded([&] {
        const std::lock_guard lock(m_samplingMutex);
        m_pSetup->StopSampler();
        return S_OK;
    });
}

HRESULT TCHiIobHardwareInterface::ShowDialog(std::int8_t bReadonly) {
    return Guarded([&] {
        const std::lock_guard lock(m_samplingMutex);
        return m_pSetup->ShowDialog(bReadonly != 0) ? S_OK : S_FALSE;
    });
}

HRESULT TCHiIobHardwareInterface::GetEvents(std::int32_t* piNrEvents, tagZentrixEvent** ppEvents) {
    if (piNrEvents == nullptr || ppEvents == nullptr) {
        return E_POINTER;
    }
    *piNrEvents = 0;
    *ppEvents = nullptr;
    return Guarded([&] {
        const std::lock_guard lock(m_samplingMutex);
        std::vector<tagZentrixEvent> events;
        m_pSetup->GetEvents(events);
        const std::size_t count = std::min<std::size_t>(
            events.size(), static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()));
        // At least one byte, so that an empty list is a real array the host frees as any other.
        auto* records = static_cast<tagZentrixEvent*>(
            CoTaskMemAlloc(std::max<std::size_t>(count * sizeof(tagZentrixEvent), 1)));
        if (records == nullptr) {
            m_pSetup->ReturnEvents(events);
            return E_OUTOFMEMORY;
        }
        if (count != 0) {
            std::memcpy(records, events.data(), count * sizeof(tagZentrixEvent));
        }
        if (count < events.size()) {
            events.erase(events.begin(), events.begin() + static_cast<std::ptrdiff_t>(count));
            m_pSetup->ReturnEvents(events);
        }
        *piNrEvents = static_cast<std::int32_t>(count);
        *ppEvents = records;
        return S_OK;
    });
}

HRESULT TCHiIobHardwareInterface::GetTimeBase(tagZentrixTimeBase* pTimeBase) {
    if (pTimeBase == nullptr) {
        return E_POINTER;
    }
    return Guarded([&] {
        const std::lock_guard lock(m_samplingMutex);
        *pTimeBase = m_pSetup->GetTimeBase();
        return S_OK;
    });
}

HRESULT TCHiIobHardwareInterface::GetTime(std::int64_t* pnMonotonicUs) {
    if (pnMonotonicUs == nullptr) {
        return E_POINTER;
    }
    return Guarded([&] {
        *pnMonotonicUs = m_pSetup->GetEventTime();
        return S_OK;
    });
}

HRESULT TCHiIobHardwareInterface::GetIODeviceSerial(std::int32_t iIODeviceId, char16_t* pszSerial) {
    if (pszSerial == nullptr) {
        return E_POINTER;
    }
    pszSerial[0] = u'\0';
    return Guarded([&] {
        const std::lock_guard lock(m_samplingMutex);
        const TCHiIobIOBox* box = std::as_const(*m_pSetup).FindIOBox(iIODeviceId);
        if (box == nullptr) {
            return E_INVALIDARG;
        }
        const std::u16string& serial = box->GetSerialNumber();
        const std::size_t length = std::min<std::size_t>(serial.size(), kKavexNameLength - 1);
        std::copy_n(serial.data(), length, pszSerial);
        pszSerial[length] = u'\0';
        return box->IsConnected() && length != 0 ? S_OK : S_FALSE;
    });
}
