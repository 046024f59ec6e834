// A host that ends in the ways a test cannot end in its own process, run as a child by
// host_process_test.cpp. It loads the plug-in with dlopen and reaches it through the exports only.
//
//   host_child end PLUGIN SETUP_DIR exit|quick_exit|stop|unload_exit|unload_quick_exit WAIT_MS
//     loads the setup, starts sampling, turns the top units' white spot on, samples WAIT_MS more
//     and ends the process with exit(0) or quick_exit(0) while sampling, without releasing the
//     component, or (stop) stops sampling first and then exits, or (unload_...) stops sampling,
//     releases the component, unloads the plug-in and then exits.
//   host_child dialog START_DIR PLUGIN NEW_DIR
//     changes into START_DIR, loads the plug-in by PLUGIN, a path relative to it, changes into
//     NEW_DIR, asks for the mapping dialog, which must be refused for want of a display, and
//     registers the plug-in.
//
// Exit status 0 when every step went as expected, 10 and up naming the step that did not.
#include <ZentrixInterface.h>
#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

namespace {

// Held here rather than on the stack, as a host holds its component, so that nothing but the
// exit itself ends it.
ITECKavexHardwareInterface* g_component = nullptr;
void* g_library = nullptr;

std::u16string Wide(std::string_view text) {
    return std::u16string(text.begin(), text.end());
}

[[noreturn]] void Fail(int status, const char* step) {
    std::fprintf(stderr, "host_child: %s failed\n", step);
    std::fflush(stderr);
    _exit(status);
}

ITECKavexHardwareInterface* Create(const char* pluginPath) {
    void* library = dlopen(pluginPath, RTLD_NOW | RTLD_LOCAL);
    g_library = library;
    if (library == nullptr) {
        std::fprintf(stderr, "host_child: %s\n", dlerror());
        Fail(10, "dlopen");
    }
    const auto getClassObject =
        reinterpret_cast<PFN_DllGetClassObject>(dlsym(library, "DllGetClassObject"));
    void* factory = nullptr;
    if (getClassObject == nullptr ||
        getClassObject(&CLSID_Zentrix, &IID_IClassFactory, &factory) != S_OK) {
        Fail(11, "DllGetClassObject");
    }
    void* object = nullptr;
    if (static_cast<IClassFactory*>(factory)->CreateInstance(
            nullptr, IID_ITECKavexHardwareInterface, &object) != S_OK) {
        Fail(12, "CreateInstance");
    }
    return static_cast<ITECKavexHardwareInterface*>(object);
}

bool IsOn(std::int32_t deviceId) {
    tagTECKavexIdtHiValue value{};
    return g_component->ReceiveSignal(deviceId, 0, &value) == S_OK &&
           value.m_eType == eKavexIdtHiVtBool && value.m_bValueBoolean != 0;
}

int EndWhileSampling(const char* setupDirectory, std::string_view ending, int waitMs) {
    if (g_component->Load(Wide(setupDirectory).c_str()) != S_OK) {
        Fail(20, "Load");
    }
    if (g_component->StartSampler() != S_OK) {
        Fail(21, "StartSampler");
    }
    // The top unit of each box (devices 7 and 17), so that an output is away from its default.
    for (const std::int32_t device : {7, 17}) {
        if (g_component->SendCommand(device, 1) != S_OK) {
            Fail(22, "SendCommand");
        }
    }
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!(IsOn(7) && IsOn(17))) {
        if (std::chrono::steady_clock::now() > giveUp) {
            Fail(23, "turning the white spots on");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    if (ending == "exit") {
        std::exit(0);
    }
    if (ending == "quick_exit") {
        std::quick_exit(0);
    }
    if (ending == "stop" && g_component->StopSampler() == S_OK) {
        std::exit(0);
    }
    // A host that is done with the plug-in releases it, unloads it as DllCanUnloadNow allows and
    // only later ends; the plug-in's exit handlers must still be there then.
    if (ending.starts_with("unload_") && g_component->StopSampler() == S_OK) {
        g_component->Release();
        const auto canUnloadNow =
            reinterpret_cast<PFN_DllCanUnloadNow>(dlsym(g_library, "DllCanUnloadNow"));
        if (canUnloadNow == nullptr || canUnloadNow() != S_OK || dlclose(g_library) != 0) {
            Fail(25, "unloading the plug-in");
        }
        if (ending == "unload_exit") {
            std::exit(0);
        }
        std::quick_exit(0);
    }
    Fail(24, "the ending");
}

int DialogAfterChangingDirectory(const char* startDirectory, const char* pluginPath,
                                 const char* newDirectory) {
    if (chdir(startDirectory) != 0) {
        Fail(30, "chdir to the start directory");
    }
    g_component = Create(pluginPath);
    if (chdir(newDirectory) != 0) {
        Fail(31, "chdir to the new directory");
    }
    // No display: the dialog library cannot show anything, so the dialog is refused.
    if (g_component->ShowDialog(0) != S_FALSE) {
        Fail(32, "ShowDialog");
    }
    const auto registerServer =
        reinterpret_cast<PFN_DllRegisterServer>(dlsym(g_library, "DllRegisterServer"));
    if (registerServer == nullptr || registerServer() != S_OK) {
        Fail(33, "DllRegisterServer");
    }
    g_component->Release();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view mode = argc > 1 ? argv[1] : "";
    if (mode == "end" && argc == 6) {
        g_component = Create(argv[2]);
        return EndWhileSampling(argv[3], argv[4], std::atoi(argv[5]));
    }
    if (mode == "dialog" && argc == 5) {
        return DialogAfterChangingDirectory(argv[2], argv[3], argv[4]);
    }
    Fail(2, "reading the arguments");
}
