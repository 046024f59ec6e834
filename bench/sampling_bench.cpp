// The sampler's cost for fully populated IO boxes on the simulator with a zero-cost clock, what
// the host's calls cost while the sampler thread runs, and how long a stop waits for a box that
// has stopped answering.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "BoxBenches.h"
#include "iobox/IOBox.h"
#include "model/Catalog.h"
#include "model/Device.h"
#include "setup/Controller.h"
#include "setup/HardwareSetup.h"
#include "simulator/SimulatedBench.h"

namespace {

using zentrix::sim::BenchConfig;

// Every TTL port with custom hardware and every SDI port with a top-unit interface holding four
// top units, on each of `boxes` boxes.
struct FullSetup {
    explicit FullSetup(int boxes) : bench(Config(boxes), clock), setup(bench, clock) {
        setup.ChangeDevices([&] {
            std::int32_t id = 0;
            for (int box = 0; box < boxes; ++box) {
                for (std::int32_t port = 1; port <= 12; ++port) {
                    Add(box, port, eDeviceTypeCustomHardware, -1, id++);
                }
                for (std::int32_t port = 13; port <= 25; ++port) {
                    for (std::int32_t position = 1; position <= 4; ++position) {
                        Add(box, port, eDeviceTypeTopUnitCorvane, position, id++);
                    }
                }
            }
            deviceCount = id;
        });
    }

    static BenchConfig Config(int boxes) {
        return zentrix::benchmarks::TopUnitInterfaceBoxes(boxes);
    }

    void Add(int box, std::int32_t port, std::int32_t type, std::int32_t position,
             std::int32_t id) {
        setup.AddDevice(box, port,
                        std::make_unique<TCHiIobDevice>(&setup, "device", type, position, id));
    }

    zentrix::VirtualClock clock;
    zentrix::sim::SimulatedBench bench;
    TCHiIobHardwareSetup setup;
    std::int32_t deviceCount = 0;
};

void BM_SamplerPeriod(benchmark::State& state) {
    FullSetup full(static_cast<int>(state.range(0)));
    full.setup.BeginSampling();
    for (auto _ : state) {
        full.setup.SampleInputs(true);
        full.setup.SampleOutputs(true);
    }
    state.counters["devices"] = full.deviceCount;
}
BENCHMARK(BM_SamplerPeriod)->Arg(1)->Arg(4)->Unit(benchmark::kMicrosecond);

double Percentile(std::vector<double>& samples, double fraction) {
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1));
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(index),
                     samples.end());
    return samples[index];
}

// Host calls timed one by one while the sampler thread runs its passes on the other core, the
// events taken as a recording host takes them, every 100th call.
void BM_HostCallsWhileSampling(benchmark::State& state) {
    FullSetup full(4);
    full.setup.GetController().MeasureLockHolds(true);
    full.setup.KeepEvents();
    full.setup.StartSampler();
    std::vector<double> receive;
    std::vector<double> send;
    std::vector<double> events;
    std::vector<tagZentrixEvent> taken;
    std::size_t eventCount = 0;
    std::int32_t device = 0;
    std::uint64_t call = 0;
    for (auto _ : state) {
        if (++call % 100 == 0) {
            const auto e0 = std::chrono::steady_clock::now();
            full.setup.GetEvents(taken);
            const auto e1 = std::chrono::steady_clock::now();
            events.push_back(std::chrono::duration<double, std::nano>(e1 - e0).count());
            eventCount += taken.size();
        }
        tagTECKavexIdtHiValue record{};
        const auto t0 = std::chrono::steady_clock::now();
        full.setup.ReceiveSignal(device, 0, record);
        const auto t1 = std::chrono::steady_clock::now();
        full.setup.SendCommand(device, 1);
        const auto t2 = std::chrono::steady_clock::now();
        receive.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
        send.push_back(std::chrono::duration<double, std::nano>(t2 - t1).count());
        device = (device + 1) % full.deviceCount;
    }
    full.setup.StopSampler();
    state.counters["receive_median_ns"] = Percentile(receive, 0.5);
    state.counters["receive_p99_ns"] = Percentile(receive, 0.99);
    state.counters["send_median_ns"] = Percentile(send, 0.5);
    state.counters["send_p99_ns"] = Percentile(send, 0.99);
    state.counters["get_events_median_ns"] = Percentile(events, 0.5);
    state.counters["get_events_p99_ns"] = Percentile(events, 0.99);
    state.counters["events_taken"] = static_cast<double>(eventCount);
    const auto holds = full.setup.GetController().GetLockHoldStatistics();
    state.counters["lock_holds"] = static_cast<double>(holds.holds);
    state.counters["lock_holds_over_5us"] = static_cast<double>(holds.longHolds);
    state.counters["longest_lock_hold_ns"] = static_cast<double>(holds.longestNs);
}
BENCHMARK(BM_HostCallsWhileSampling)->Iterations(200000);

// StopSampler on real time while the sampling thread waits for a box that has stopped answering:
// one simulated box whose reads all run out their timeout, stopped 300 ms into its stall.
void BM_StopSamplerWithAStalledBox(benchmark::State& state) {
    const auto mode = static_cast<zentrix::SamplingMode>(state.range(0));
    zentrix::Clock& clock = zentrix::SystemClock::Instance();
    double longestMs = 0.0;
    for (auto _ : state) {
        BenchConfig config;
        config.boxes.emplace_back();
        zentrix::sim::SimulatedBench bench(config, clock);
        TCHiIobHardwareSetup setup(bench, clock);
        setup.SetSamplingMode(mode);
        setup.ChangeDevices([&] {
            setup.AddDevice(0, 7,
                            std::make_unique<TCHiIobDevice>(&setup, "device",
                                                            eDeviceTypeCustomHardware, -1, 0));
        });
        setup.StartSampler();
        zentrix::sim::FaultConfig stalled;
        stalled.shortReads = 1000000;
        bench.Box(0).SetFaults(stalled);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto start = std::chrono::steady_clock::now();
        setup.StopSampler();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        longestMs = std::max(longestMs, seconds * 1000.0);
    }
    state.counters["longest_stop_ms"] = longestMs;
}
BENCHMARK(BM_StopSamplerWithAStalledBox)
    ->Arg(static_cast<int>(zentrix::SamplingMode::Serial))
    ->Arg(static_cast<int>(zentrix::SamplingMode::Concurrent))
    ->ArgName("concurrent")
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace
