// The in-process server around the component: module lock count, the cached class factory and
// registration in the per-user registry store.
#ifndef ZENTRIX_HOST_MODULE_H
#define ZENTRIX_HOST_MODULE_H

#include <cstdint>
#include <string>

#include "host/ZentrixInterface.h"

namespace zentrix {

void ModuleLock();
void ModuleUnlock();
std::int32_t ModuleLockCount();

// Registry strings of the component's identities.
inline constexpr const char* kProgIdVersioned = "Zentrix.Zentrix.1";
inline constexpr const char* kProgId = "Zentrix.Zentrix";

std::string GuidToRegistryString(const GUID& guid);

// Writes the AppID, class and category keys naming the library at libraryPath; returns S_OK or
// E_FAIL when the store cannot be written.
HRESULT RegisterServer(const std::string& libraryPath);
HRESULT UnregisterServer(const std::string& libraryPath);

}  // namespace zentrix

#endif
