// The simulator's bench file comes from the user; any text must either give a bench that passes
// validation or be refused with BenchConfigError, never with another exception or a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "simulator/BenchConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    zentrix::sim::BenchConfig config;
    try {
        config = zentrix::sim::ParseBenchConfig(text);
    } catch (const zentrix::sim::BenchConfigError&) {
        return 0;
    }
    try {
        zentrix::sim::ValidateBenchConfig(config);
    } catch (const zentrix::sim::BenchConfigError&) {
        std::abort();
    }
    return 0;
}
