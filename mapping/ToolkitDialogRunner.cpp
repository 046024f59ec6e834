#include "mapping/ToolkitDialogRunner.h"

#include <dlfcn.h>

#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>

#include "platform/Log.h"
#include "platform/MessageBox.h"
#include "platform/ModulePath.h"

namespace zentrix {
namespace {

constexpr std::string_view kLogArea = "mapping";

const ZentrixMappingToolkit* LoadToolkit(const std::filesystem::path& path) {
    // One load per path and process; the handle is never closed.
    static std::mutex mutex;
    static std::map<std::string, const ZentrixMappingToolkit*> loaded;
    const std::lock_guard lock(mutex);
    if (const auto it = loaded.find(path.string()); it != loaded.end()) {
        return it->second;
    }
    // A relative path with a directory would be looked up from the current directory, which is
    // the host's and may hold anything.
    if (path.empty() || (path.is_relative() && path.has_parent_path())) {
        LogLazily(LogLevel::Warning, kLogArea, [&] {
            return "the dialog library has no absolute path (" + path.string() + "); not loaded";
        });
        return nullptr;
    }
    // The dialog comes in a package of its own, which a headless installation leaves out.
    if (std::error_code error;
        path.is_absolute() && !std::filesystem::exists(path, error) && !error) {
        LogLazily(LogLevel::Warning, kLogArea, [&] {
            return "the dialog library " + path.string() +
                   " is not found beside the plug-in; install the " +
                   ZENTRIX_MAPPING_TOOLKIT_PACKAGE + " package to show the mapping dialog";
        });
        return nullptr;
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle == nullptr) {
        const char* error = dlerror();
        LogLazily(LogLevel::Warning, kLogArea, [&] {
            return "cannot load the dialog library " + path.string() + ": " +
                   (error != nullptr ? error : "unknown error");
        });
        return nullptr;
    }
    const auto entry =
        reinterpret_cast<ZentrixMappingToolkitEntry>(dlsym(handle, kZentrixMappingToolkitEntry));
    const ZentrixMappingToolkit* toolkit =
        entry != nullptr ? entry(kZentrixMappingToolkitVersion) : nullptr;
    if (toolkit == nullptr || toolkit->version != kZentrixMappingToolkitVersion) {
        LogLazily(LogLevel::Warning, kLogArea, [&] {
            return path.string() + " is not a dialog library of this plug-in version";
        });
        dlclose(handle);
        return nullptr;
    }
    loaded.emplace(path.string(), toolkit);
    return toolkit;
}

}  // namespace

std::filesystem::path DefaultToolkitLibraryPath() {
    const std::filesystem::path& module = ThisModulePath();
    // Without the plug-in's own directory there is no place the library may be taken from.
    if (module.empty()) {
        return {};
    }
    return module.parent_path() / ZENTRIX_MAPPING_TOOLKIT_FILE;
}

ToolkitDialogRunner::ToolkitDialogRunner(std::filesystem::path library)
    : m_library(std::move(library)) {}

const ZentrixMappingToolkit* ToolkitDialogRunner::Toolkit() {
    return LoadToolkit(m_library);
}

DialogResult ToolkitDialogRunner::Run(MappingDialogController& controller) {
    const ZentrixMappingToolkit* toolkit = Toolkit();
    if (toolkit == nullptr) {
        return DialogResult::Rejected;
    }
    int accepted = 0;
    const int status = toolkit->runDialog(&controller, &accepted);
    if (status == kZentrixToolkitNoDisplay) {
        Log(LogLevel::Warning, kLogArea, "no display: the mapping dialog was not shown");
    } else if (status != kZentrixToolkitShown) {
        Log(LogLevel::Error, kLogArea, "the mapping dialog failed");
    }
    return status == kZentrixToolkitShown && accepted != 0 ? DialogResult::Accepted
                                                           : DialogResult::Rejected;
}

void ToolkitDialogRunner::ShowMessage(const std::string& text) {
    const ZentrixMappingToolkit* toolkit = Toolkit();
    if (toolkit == nullptr || toolkit->showMessage(text.c_str()) != kZentrixToolkitShown) {
        zentrix::ShowMessageBox(text);
    }
}

}  // namespace zentrix
