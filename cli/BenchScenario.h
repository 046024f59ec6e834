// One measured scenario of `zentrix bench`: the simulated bench and hardware setup it runs on, and
// the run itself in a process that loads the plug-in for it alone.
#ifndef ZENTRIX_CLI_BENCHSCENARIO_H
#define ZENTRIX_CLI_BENCHSCENARIO_H

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Plugin.h"

namespace zentrix::cli {

// Every simulated box is fully mapped; on the active bench TTL port 12 line 1 of each box falls
// at a steady pace and stays low for half of it, and on both benches the host toggles output 1 of
// TTL port 11 for the latency.
inline constexpr int kToggledPort = 12;
inline constexpr int kToggledLine = 1;
inline constexpr int kCommandedPort = 11;
inline constexpr int kCommandedLine = 1;

struct ScenarioPlan {
    // How many simulated boxes; 0 on real hardware, where the bench takes the boxes it finds.
    int boxes = 0;
    // "idle", "active" or, on real hardware, "real".
    std::string load;
    std::vector<std::string> modes;
    double seconds = 0.0;
    // 0 sends no commands.
    double commandEveryMs = 0.0;
    // How often the moving inputs fall on the active bench, and how long they stay low (0: half
    // of it).
    int toggleEveryMs = 0;
    int toggleLowMs = 0;
    // The waits and pass order of the plug-in's boxes: "original", "spec" or "lean"; empty on real
    // hardware, which samples as ZENTRIX_TIMING says.
    std::string timing;
    std::filesystem::path configDirectory;
    // Empty on real hardware: nothing then records the lines.
    std::filesystem::path eventLog;
    std::filesystem::path periodTrace;
};

// The simulator's bench file for `boxes` fully mapped boxes; 0 for toggleEveryMs moves no input,
// 0 for toggleLowMs keeps it low for half of toggleEveryMs.
nlohmann::ordered_json SimulatedBenchFile(int boxes, int toggleEveryMs, int toggleLowMs,
                                          const std::filesystem::path& eventLog);

// A HardwareSetup.xml that puts a device on every port of every box, matching SimulatedBenchFile.
std::string FullyMappedSetup(int boxes);
std::size_t FullyMappedDeviceCount(int boxes);

// Measures each of the plan's modes in turn on one component, in a process whose environment
// already names the backend and the period trace; a stop request ends it early with what it has.
nlohmann::ordered_json RunScenario(const ScenarioPlan& plan, const PluginLibrary& library,
                                   const GUID& classId);

}  // namespace zentrix::cli

#endif
