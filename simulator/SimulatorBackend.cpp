#include "simulator/SimulatorBackend.h"

#include <filesystem>

#include "platform/IoWarriorBackendRegistry.h"
#include "simulator/BenchConfig.h"
#include "simulator/SimulatedBench.h"

namespace zentrix::sim {
namespace {

const IoWarriorBackendRegistrar kSimulatorBackend({
    .name = "sim",
    .usage = "sim[:BENCH.json]",
    .description =
        "simulated IO boxes: the built-in demo bench, or the bench described in the file",
    .factory = &CreateSimulatedLibrary,
});

}  // namespace

std::unique_ptr<IoWarriorLibrary> CreateSimulatedLibrary(std::string_view benchPath, Clock& clock) {
    const BenchConfig config =
        benchPath.empty() ? DemoBench() : LoadBenchConfig(std::filesystem::path(benchPath));
    return std::make_unique<SimulatedBench>(config, clock);
}

}  // namespace zentrix::sim
