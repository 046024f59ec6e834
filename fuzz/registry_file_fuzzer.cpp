// The registry store file is read with one parser by the plug-in's store and by the reference
// host, and anyone may have edited it: any bytes must load without a sanitizer report, the store
// must answer every query on them, the host must resolve the ProgID or end in its own CliError,
// and the text the writer makes of what was read must read back into the same text undamaged.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "CliError.h"
#include "ProgIdLookup.h"
#include "platform/Registry.h"
#include "platform/format/RegistryText.h"

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

void CheckTheStore(std::string_view bytes) {
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
}

void CheckTheHost(const zentrix::RegistryTree& tree) {
    for (const char* progId : {"Zentrix.Zentrix", "Zentrix.Zentrix.1"}) {
        try {
            static_cast<void>(zentrix::cli::FindRegisteredClass(tree, progId, "fuzz.reg"));
        } catch (const zentrix::cli::CliError&) {
        }
    }
}

void CheckTheRoundTrip(const zentrix::RegistryTree& tree) {
    zentrix::RegistryTextObserver ignore;
    const std::string written = zentrix::WriteRegistryText(tree);
    zentrix::RegistryTree reread;
    zentrix::ReadRegistryText(written, reread, ignore);
    if (zentrix::WriteRegistryText(reread) != written ||
        zentrix::RegistryStore::FromBytes(written, "written.reg").IsDamaged()) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    CheckTheStore(bytes);
    zentrix::RegistryTree tree;
    zentrix::RegistryTextObserver ignore;
    zentrix::ReadRegistryText(zentrix::DecodeRegistryBytes(bytes).text, tree, ignore);
    CheckTheHost(tree);
    CheckTheRoundTrip(tree);
    return 0;
}
