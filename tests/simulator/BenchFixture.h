// A simulated bench on a virtual clock, opened and reachable through the plug-in's reports.
#ifndef ZENTRIX_TESTS_SIMULATOR_BENCHFIXTURE_H
#define ZENTRIX_TESTS_SIMULATOR_BENCHFIXTURE_H

#include <gtest/gtest.h>

#include <string>

#include "PluginReports.h"
#include "platform/Clock.h"
#include "simulator/BenchConfig.h"
#include "simulator/SimulatedBench.h"

namespace zentrix::sim::testing {

inline BenchConfig SingleBox(BoxConfig box = {}) {
    BenchConfig config;
    config.boxes.push_back(std::move(box));
    return config;
}

struct OpenBench {
    explicit OpenBench(const BenchConfig& config, std::uint32_t clockStartMs = 0)
        : clock(clockStartMs),
          bench(config, clock),
          handle(bench.OpenDevice()),
          reports(bench, handle, clock) {}

    SimulatedIoBox& Box() { return bench.Box(0); }
    // Moves the clock to a moment of simulator time (which starts at 0 with the bench).
    void AdvanceTo(std::uint64_t simulatorMs) {
        const std::uint64_t now = bench.NowMs();
        ASSERT_GE(simulatorMs, now);
        clock.Advance(static_cast<std::uint32_t>(simulatorMs - now));
    }
    // SPI on and both IO box expanders set up, as the plug-in's configuration does.
    void ConfigureIoBox() {
        reports.EnableSpi(true);
        reports.ConfigureIoBoxExpanders();
    }

    VirtualClock clock;
    SimulatedBench bench;
    IowHandle handle;
    PluginReports reports;
};

inline std::string DescribeErrors(SimulatedBench& bench) {
    std::string text;
    for (const auto& error : bench.ProtocolErrors()) {
        text += "[" + std::to_string(error.timeMs) + " ms, box " + std::to_string(error.boxId) +
                "] " + error.text + "\n";
    }
    return text;
}

#define EXPECT_NO_PROTOCOL_ERRORS(bench) \
    EXPECT_TRUE((bench).ProtocolErrors().empty()) << ::zentrix::sim::testing::DescribeErrors(bench)

}  // namespace zentrix::sim::testing

#endif
