#include "platform/ModulePath.h"

#include <dlfcn.h>
#include <link.h>

#include <system_error>

namespace zentrix {
namespace {

std::filesystem::path ResolveModulePath() noexcept {
    try {
        Dl_info info{};
        link_map* module = nullptr;
        if (dladdr1(reinterpret_cast<void*>(&ResolveModulePath), &info,
                    reinterpret_cast<void**>(&module), RTLD_DL_LINKMAP) == 0 ||
            module == nullptr || module->l_name == nullptr) {
            return {};
        }
        std::error_code error;
        // The program itself has no name in the loader's list.
        if (module->l_name[0] == '\0') {
            std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
            return error ? std::filesystem::path() : program;
        }
        const std::filesystem::path path = std::filesystem::absolute(module->l_name, error);
        return error ? std::filesystem::path() : path.lexically_normal();
    } catch (...) {
        return {};
    }
}

// Resolved while the module is being loaded, before the host can change directory.
__attribute__((constructor)) void ResolveAtLoad() {
    ThisModulePath();
}

}  // namespace

const std::filesystem::path& ThisModulePath() {
    static const std::filesystem::path path = ResolveModulePath();
    return path;
}

}  // namespace zentrix
