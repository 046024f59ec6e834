// The plug-in's registry store reads whatever file it finds in the user's configuration, so any
// bytes must load without a sanitizer report, and the store must answer every query on them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Registry.h"

namespace {

constexpr zentrix::RegistryRoot kRoots[] = {
    zentrix::RegistryRoot::ClassesRoot, zentrix::RegistryRoot::CurrentUser,
    zentrix::RegistryRoot::LocalMachine, zentrix::RegistryRoot::Users,
    zentrix::RegistryRoot::CurrentConfig};

constexpr std::string_view kZentrixKey = "Software\\Tamsel Information Technology\\Common\\Zentrix";

// Walks every key below keyPath, reading its default value on the way.
void Walk(const zentrix::RegistryStore& store, zentrix::RegistryRoot root,
          const std::string& keyPath, int depth) {
    if (depth > 8) {
        return;
    }
    static_cast<void>(store.GetString(root, keyPath, ""));
    for (const std::string& name : store.GetSubKeyNames(root, keyPath)) {
        Walk(store, root, keyPath.empty() ? name : keyPath + "\\" + name, depth + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    zentrix::RegistryStore store = zentrix::RegistryStore::FromBytes(bytes, "fuzz.reg");
    for (const zentrix::RegistryRoot root : kRoots) {
        Walk(store, root, "", 0);
    }
    const auto root = zentrix::RegistryRoot::CurrentUser;
    static_cast<void>(store.GetDword(root, kZentrixKey, "LickometerFrequency"));
    static_cast<void>(store.IsValueDamaged(root, kZentrixKey, "LickometerFrequency"));
    static_cast<void>(store.KeyExists(zentrix::RegistryRoot::ClassesRoot, "Zentrix.Zentrix"));
    store.SetDword(root, kZentrixKey, "LickometerFrequency", 3);
    store.DeleteKeyTree(zentrix::RegistryRoot::ClassesRoot, "CLSID");
    return 0;
}
