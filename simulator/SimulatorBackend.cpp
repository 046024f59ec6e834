#include "simulator/SimulatorBackend.h"

#include <filesystem>

#include "simulator/BenchConfig.h"
#include "simulator/SimulatedBench.h"

namespace zentrix::sim {

std::unique_ptr<IoWarriorLibrary> CreateSimulatedLibrary(std::string_view benchPath, Clock& clock) {
    const BenchConfig config =
        benchPath.empty() ? DemoBench() : LoadBenchConfig(std::filesystem::path(benchPath));
    return std::make_unique<SimulatedBench>(config, clock);
}

}  // namespace zentrix::sim
