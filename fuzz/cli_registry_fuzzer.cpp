// The reference host finds the plug-in through the registry store file, which anyone may have
// edited; any bytes there must resolve the ProgID or end in the host's own CliError.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

#include "CliError.h"
#include "ProgIdLookup.h"

namespace {

const std::filesystem::path& StorePath() {
    static const std::filesystem::path path = [] {
        const std::filesystem::path file =
            std::filesystem::temp_directory_path() /
            ("zentrix-cli-registry-fuzz-" + std::to_string(::getpid()) + ".reg");
        ::setenv("ZENTRIX_REGISTRY", file.c_str(), 1);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove(StorePath(), ignored);
        });
        return file;
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const zentrix::cli::RegistryFile file = zentrix::cli::RegistryFile::Parse(bytes);
    if (const auto value = file.DefaultValue("HKEY_CLASSES_ROOT\\Zentrix.Zentrix\\CLSID")) {
        static_cast<void>(zentrix::cli::ParseGuid(*value));
    }
    {
        std::ofstream out(StorePath(), std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    for (const char* progId : {"Zentrix.Zentrix", "Zentrix.Zentrix.1"}) {
        try {
            static_cast<void>(zentrix::cli::ResolveProgId(progId));
        } catch (const zentrix::cli::CliError&) {
        }
    }
    return 0;
}
