// The table of IO-Warrior backends that ZENTRIX_IOWARRIOR chooses from. Each backend registers
// itself from its own source file with a static IoWarriorBackendRegistrar, so this layer knows
// none of them.
#ifndef ZENTRIX_PLATFORM_IOWARRIORBACKENDREGISTRY_H
#define ZENTRIX_PLATFORM_IOWARRIORBACKENDREGISTRY_H

#include <memory>
#include <string_view>
#include <vector>

#include "platform/Clock.h"
#include "platform/IoWarriorLibrary.h"

namespace zentrix {

// Makes the backend for a setting "NAME" (empty argument) or "NAME:ARGUMENT". Throws an exception
// whose what() says why when the backend cannot be made from that argument.
using IoWarriorBackendFactory = std::unique_ptr<IoWarriorLibrary> (*)(std::string_view argument,
                                                                      Clock& clock);

struct IoWarriorBackendInfo {
    // What the setting starts with: "kernel", "sim", "none".
    std::string_view name;
    // The setting's forms for help texts, e.g. "kernel[:DIR]".
    std::string_view usage;
    // One line for people choosing a backend.
    std::string_view description;
    IoWarriorBackendFactory factory = nullptr;
};

// Registers a backend while static objects are constructed; a second backend of the same name is
// ignored.
class IoWarriorBackendRegistrar {
public:
    explicit IoWarriorBackendRegistrar(const IoWarriorBackendInfo& info) noexcept;
};

// Every registered backend, by name.
std::vector<IoWarriorBackendInfo> RegisteredIoWarriorBackends();
// The backend of that name, or null.
const IoWarriorBackendInfo* FindIoWarriorBackend(std::string_view name);

}  // namespace zentrix

#endif
