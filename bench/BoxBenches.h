// Simulated benches that the benchmarks share.
#ifndef ZENTRIX_BENCH_BOXBENCHES_H
#define ZENTRIX_BENCH_BOXBENCHES_H

#include "simulator/BenchConfig.h"

namespace zentrix::benchmarks {

// `boxes` boxes with ids 0.. and a top-unit interface behind each of the 13 SDI ports; with
// `movingInput`, TTL port 1 line 1 of every box falls every 100 ms for 50 ms.
inline sim::BenchConfig TopUnitInterfaceBoxes(int boxes, bool movingInput = false) {
    constexpr int kSdiPorts = 13;
    sim::BenchConfig config;
    for (int box = 0; box < boxes; ++box) {
        sim::BoxConfig entry;
        entry.boxId = box;
        for (int port = 1; port <= kSdiPorts; ++port) {
            entry.sdiBoards[port] = sim::SdiBoard::TopUnitInterface;
        }
        if (movingInput) {
            entry.inputs.push_back({1, 1, sim::PulseTrain{100, 50, 0}});
        }
        config.boxes.push_back(entry);
    }
    return config;
}

}  // namespace zentrix::benchmarks

#endif
