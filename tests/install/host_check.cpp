// A minimal host built against an installed Zentrix: loads the plug-in named at build time, creates
// the component and lists the device types. Exits with 0 only when the catalog comes back whole.
#include <ZentrixInterface.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#ifndef ZENTRIX_PLUGIN_PATH
#error "build with -DZENTRIX_PLUGIN_PATH=\"/path/to/libzentrix.so.1\""
#endif

namespace {

std::string Narrow(const char16_t* name) {
    std::string text;
    for (; *name != 0; ++name) {
        text.push_back(*name < 0x80 ? static_cast<char>(*name) : '?');
    }
    return text;
}

}  // namespace

int main() {
    // The catalog does not depend on hardware; no backend opens a box here.
    setenv("ZENTRIX_IOWARRIOR", "none", 1);
    void* library = dlopen(ZENTRIX_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "host_check: %s\n", dlerror());
        return 1;
    }
    const auto getClassObject =
        reinterpret_cast<PFN_DllGetClassObject>(dlsym(library, "DllGetClassObject"));
    const auto memFree = reinterpret_cast<PFN_CoTaskMemFree>(dlsym(library, "CoTaskMemFree"));
    if (getClassObject == nullptr || memFree == nullptr) {
        std::fprintf(stderr, "host_check: %s lacks its entry points\n", ZENTRIX_PLUGIN_PATH);
        return 1;
    }
    void* factory = nullptr;
    if (getClassObject(&CLSID_Zentrix, &IID_IClassFactory, &factory) != S_OK) {
        std::fprintf(stderr, "host_check: no class factory\n");
        return 1;
    }
    void* object = nullptr;
    const HRESULT created = static_cast<IClassFactory*>(factory)->CreateInstance(
        nullptr, IID_ITECKavexHardwareInterface, &object);
    static_cast<IClassFactory*>(factory)->Release();
    if (created != S_OK) {
        std::fprintf(stderr, "host_check: CreateInstance failed\n");
        return 1;
    }
    auto* component = static_cast<ITECKavexHardwareInterface*>(object);
    std::int32_t count = 0;
    tagTECKavexIdtHiDeviceType* types = nullptr;
    const HRESULT listed = component->GetDeviceTypes(&count, &types);
    bool testerFound = false;
    for (std::int32_t i = 0; i < count; ++i) {
        const std::string name = Narrow(types[i].m_szName);
        std::printf("%d %s\n", types[i].m_iId, name.c_str());
        testerFound = testerFound || name == "TTL Port Tester (KX-504)";
    }
    memFree(types);
    component->Release();
    if (listed != S_OK || count != 6 || !testerFound) {
        std::fprintf(stderr, "host_check: expected the 6 device types, got %d\n", count);
        return 1;
    }
    return 0;
}
