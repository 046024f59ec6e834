// `zentrix bench`: how long the sampler's periods take against the waits the protocol demands of
// them, how soon a command reaches its line and whether every input edge is counted, for several
// numbers of boxes and both ways of sampling them, side by side in one run.
#ifndef ZENTRIX_CLI_BENCH_H
#define ZENTRIX_CLI_BENCH_H

#include <filesystem>
#include <string>
#include <vector>

#include "ZentrixInterface.h"

namespace CLI {
class App;
}

namespace zentrix::cli {

struct BenchOptions {
    std::vector<int> boxCounts{1, 2, 4, 8};
    std::vector<std::string> modes{"serial", "concurrent"};
    std::vector<std::string> loads{"idle", "active"};
    double secondsPerScenario = 1.5;
    double commandEveryMs = 50.0;
    int toggleEveryMs = 100;
    // "original" (the protocol's waits and its order of a pass), "spec", "lean".
    std::vector<std::string> timings{"spec", "lean"};
    // Low phases of the moving input to sweep on the active bench instead of --toggle-every, each
    // followed by a high phase of kSweepHighMs.
    std::vector<int> pulseWidthsMs;
    bool real = false;
};

// Long enough for any schedule to see the input high again before it falls once more.
inline constexpr int kSweepHighMs = 150;

// What the host has settled before any subcommand runs.
struct BenchHost {
    std::filesystem::path pluginLibrary;
    GUID classId{};
    // The user's hardware setup, used only on real boxes.
    std::filesystem::path configDirectory;
    bool json = false;
};

extern const char* const kBenchHelp;
// Adds the options of the "bench" subcommand, which fill `options` when it is parsed.
void AddBenchOptions(CLI::App& command, BenchOptions& options);

// Forks a process per box count and load before the plug-in is loaded, since the plug-in picks its
// backend and bench once per process; returns 0, or 130 when interrupted.
int RunBench(const BenchOptions& options, const BenchHost& host);

}  // namespace zentrix::cli

#endif
