#include "host/Module.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <new>

#include "host/Component.h"
#include "platform/ComMemory.h"
#include "platform/ModulePath.h"
#include "platform/Registry.h"

namespace zentrix {
namespace {

std::atomic<std::int32_t> g_lockCount{0};

// The one class factory of the module; it lives as long as the module, so its reference count
// only guards against misuse.
class ClassFactory final : public IClassFactory {
public:
    HRESULT QueryInterface(const GUID& riid, void** ppvObject) override {
        if (ppvObject == nullptr) {
            return E_POINTER;
        }
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppvObject = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }

    HRESULT CreateInstance(IUnknown* pUnkOuter, const GUID& riid, void** ppvObject) override {
        if (ppvObject == nullptr) {
            return E_POINTER;
        }
        *ppvObject = nullptr;
        // An aggregating outer object may only ask for the inner unknown.
        if (pUnkOuter != nullptr && !(riid == IID_IUnknown)) {
            return CLASS_E_NOAGGREGATION;
        }
        try {
            IUnknown* object = TCHiIobHardwareInterface::Create(pUnkOuter);
            const HRESULT result = object->QueryInterface(riid, ppvObject);
            object->Release();
            return result;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (...) {
            return E_FAIL;
        }
    }

    HRESULT LockServer(std::int32_t fLock) override {
        if (fLock != 0) {
            ModuleLock();
        } else {
            ModuleUnlock();
        }
        return S_OK;
    }
};

ClassFactory g_classFactory;

// Empty when the plug-in could not tell where it lies, which no registration may name.
std::string LibraryPath() {
    return ThisModulePath().string();
}

}  // namespace

void ModuleLock() {
    g_lockCount.fetch_add(1);
}
void ModuleUnlock() {
    g_lockCount.fetch_sub(1);
}
std::int32_t ModuleLockCount() {
    return g_lockCount.load();
}

std::string GuidToRegistryString(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

HRESULT RegisterServer(const std::string& libraryPath) {
    const std::filesystem::path storePath = RegistryStore::DefaultPath();
    RegistryStore store = RegistryStore::Load(storePath);
    // Rewriting a store that could not be read whole would lose what it held.
    if (store.IsDamaged() || storePath.empty()) {
        return E_FAIL;
    }
    constexpr RegistryRoot root = RegistryRoot::ClassesRoot;
    const std::string appId = GuidToRegistryString(APPID_Zentrix);
    const std::string clsid = GuidToRegistryString(CLSID_Zentrix);
    const std::string classKey = "CLSID\\" + clsid;
    const std::string moduleName = std::filesystem::path(libraryPath).filename().string();

    store.SetString(root, "AppID\\" + appId, "", "Zentrix");
    store.SetString(root, "AppID\\" + moduleName, "AppID", appId);

    for (const char* progId : {kProgIdVersioned, kProgId}) {
        store.SetString(root, progId, "", "Zentrix Class");
        store.SetString(root, std::string(progId) + "\\CLSID", "", clsid);
    }
    store.SetString(root, std::string(kProgId) + "\\CurVer", "", kProgIdVersioned);

    store.DeleteKeyTree(root, classKey);
    store.SetString(root, classKey, "", "Zentrix Class");
    store.SetString(root, classKey, "AppID", appId);
    store.SetString(root, classKey + "\\ProgID", "", kProgIdVersioned);
    store.SetString(root, classKey + "\\VersionIndependentProgID", "", kProgId);
    store.CreateKey(root, classKey + "\\Programmable");
    store.SetString(root, classKey + "\\InprocServer32", "", libraryPath);
    store.SetString(root, classKey + "\\InprocServer32", "ThreadingModel", "Apartment");
    store.SetString(root, classKey + "\\TypeLib", "", GuidToRegistryString(LIBID_ZentrixLib));
    store.CreateKey(root, classKey + "\\Implemented Categories\\" +
                              GuidToRegistryString(CATID_ZentrixHardwareInterfaces));
    return store.Save(storePath) ? S_OK : E_FAIL;
}

HRESULT UnregisterServer(const std::string& libraryPath) {
    const std::filesystem::path storePath = RegistryStore::DefaultPath();
    RegistryStore store = RegistryStore::Load(storePath);
    if (store.IsDamaged() || storePath.empty()) {
        return E_FAIL;
    }
    constexpr RegistryRoot root = RegistryRoot::ClassesRoot;
    const std::string classKey = "CLSID\\" + GuidToRegistryString(CLSID_Zentrix);
    store.DeleteKeyTree(root, classKey + "\\Implemented Categories\\" +
                                  GuidToRegistryString(CATID_ZentrixHardwareInterfaces));
    store.DeleteKeyTree(root, kProgIdVersioned);
    store.DeleteKeyTree(root, kProgId);
    store.DeleteKeyTree(root, classKey);
    store.DeleteKeyTree(root, "AppID\\" + GuidToRegistryString(APPID_Zentrix));
    store.DeleteKeyTree(root, "AppID\\" + std::filesystem::path(libraryPath).filename().string());
    return store.Save(storePath) ? S_OK : E_FAIL;
}

}  // namespace zentrix

extern "C" {

ZENTRIX_EXPORT HRESULT DllGetClassObject(const GUID* rclsid, const GUID* riid, void** ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (rclsid == nullptr || riid == nullptr) {
        return E_POINTER;
    }
    if (!(*rclsid == CLSID_Zentrix)) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return zentrix::g_classFactory.QueryInterface(*riid, ppv);
}

ZENTRIX_EXPORT HRESULT DllCanUnloadNow() {
    return zentrix::ModuleLockCount() == 0 ? S_OK : S_FALSE;
}

ZENTRIX_EXPORT HRESULT DllRegisterServer() {
    try {
        const std::string path = zentrix::LibraryPath();
        return path.empty() ? E_FAIL : zentrix::RegisterServer(path);
    } catch (...) {
        return E_FAIL;
    }
}

ZENTRIX_EXPORT HRESULT DllUnregisterServer() {
    try {
        const std::string path = zentrix::LibraryPath();
        return path.empty() ? E_FAIL : zentrix::UnregisterServer(path);
    } catch (...) {
        return E_FAIL;
    }
}
}
