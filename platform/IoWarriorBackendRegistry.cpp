#include "platform/IoWarriorBackendRegistry.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <string>

namespace zentrix {
namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, IoWarriorBackendInfo, std::less<>> backends;
};

// Constructed on first use, so that registrars in other files may run before this file's statics.
Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

}  // namespace

IoWarriorBackendRegistrar::IoWarriorBackendRegistrar(const IoWarriorBackendInfo& info) noexcept {
    try {
        Registry& registry = TheRegistry();
        const std::lock_guard lock(registry.mutex);
        registry.backends.try_emplace(std::string(info.name), info);
    } catch (...) {
        // A backend that cannot be registered is one the setting cannot choose.
    }
}

std::vector<IoWarriorBackendInfo> RegisteredIoWarriorBackends() {
    Registry& registry = TheRegistry();
    const std::lock_guard lock(registry.mutex);
    std::vector<IoWarriorBackendInfo> backends;
    for (const auto& [name, info] : registry.backends) {
        backends.push_back(info);
    }
    return backends;
}

const IoWarriorBackendInfo* FindIoWarriorBackend(std::string_view name) {
    Registry& registry = TheRegistry();
    const std::lock_guard lock(registry.mutex);
    const auto it = registry.backends.find(name);
    return it != registry.backends.end() ? &it->second : nullptr;
}

}  // namespace zentrix
