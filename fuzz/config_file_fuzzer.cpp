// Whatever the reader accepts as a whole archive must also survive a write and a second read
// unchanged, so the fuzzer checks that on top of the sanitizers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "setup/ConfigFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string rootName = "HardwareSetup";
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    TCHiIobConfigData config;
    if (!ReadConfigStream(in, rootName, config)) {
        return 0;
    }
    std::ostringstream out;
    if (!WriteConfigStream(out, rootName, config)) {
        std::abort();
    }
    std::istringstream again(out.str());
    TCHiIobConfigData reread;
    if (!ReadConfigStream(again, rootName, reread) || !(reread == config)) {
        std::abort();
    }
    return 0;
}
