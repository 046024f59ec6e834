// How a sampling period grows with the work: its wall time against the floor of mandatory waits
// and its CPU time, for 1 to 8 simulated boxes and 0 to 64 devices per box, in both sampling modes,
// with the real sampler thread sleeping for real; and the CPU a period costs on a zero-cost clock.
// Each real-time case samples for ZENTRIX_GROWTH_SECONDS (0.25 s when unset) and at least five
// periods, so that the smoke run stays short; scripts/make-growth-report.sh runs the series longer
// and turns its JSON output into docs/growth.md and docs/growth.svg.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "BoxBenches.h"
#include "model/Catalog.h"
#include "model/Device.h"
#include "platform/Clock.h"
#include "sampling/PeriodRecorder.h"
#include "sampling/SamplingMode.h"
#include "setup/Controller.h"
#include "setup/HardwareSetup.h"
#include "simulator/SimulatedBench.h"

namespace {

using zentrix::SamplingMode;
using zentrix::SamplingPeriod;
using zentrix::sim::BenchConfig;

constexpr int kTtlPorts = 12;
constexpr int kSdiPorts = 13;
constexpr int kTopUnitsPerInterface = 4;
constexpr int kFullDevicesPerBox = kTtlPorts + kSdiPorts * kTopUnitsPerInterface;

// Sleeps on the thread that created it only move its time on, so that setting boxes up and the
// host's side of starting and stopping cost no real time; every other thread really sleeps. Its
// time is the steady clock plus the skipped sleeps, so it never goes back.
class RealSleepsOffHostClock final : public zentrix::Clock {
public:
    std::uint32_t NowMs() override {
        return zentrix::SystemClock::Instance().NowMs() +
               m_skippedMs.load(std::memory_order_acquire);
    }

    void SleepMs(std::uint32_t milliseconds) override {
        if (std::this_thread::get_id() == m_hostThread) {
            zentrix::CountRequestedSleep(milliseconds);
            m_skippedMs.fetch_add(milliseconds, std::memory_order_acq_rel);
        } else {
            zentrix::SystemClock::Instance().SleepMs(milliseconds);
        }
    }

    std::uint64_t NowUs() override {
        return zentrix::SystemClock::Instance().NowUs() +
               std::uint64_t{m_skippedMs.load(std::memory_order_acquire)} * 1000U;
    }

    // The sampling threads sleep as on the system clock, to deadlines; the host's thread never
    // sleeps while they run, so the skipped time does not move under them.
    void SleepMsFrom(std::uint64_t startUs, std::uint32_t milliseconds) override {
        if (std::this_thread::get_id() == m_hostThread) {
            SleepMs(milliseconds);
            return;
        }
        const std::uint64_t skippedUs =
            std::uint64_t{m_skippedMs.load(std::memory_order_acquire)} * 1000U;
        zentrix::SystemClock::Instance().SleepMsFrom(startUs - skippedUs, milliseconds);
    }

    bool SleepsInRealTime() const override { return true; }

private:
    std::thread::id m_hostThread = std::this_thread::get_id();
    std::atomic<std::uint32_t> m_skippedMs{0};
};

// Every box with a top-unit interface behind each SDI port; devices fill the TTL ports with custom
// hardware first and then the interfaces' top units, so 16 devices are 12 TTL devices and one
// interface's four top units, and 64 fill the box. Moving inputs change the level of the first
// line of each box's first TTL port every 50 ms.
struct PopulatedSetup {
    PopulatedSetup(int boxes, int devicesPerBox, bool movingInputs, zentrix::Clock& clock)
        : bench(Config(boxes, movingInputs), clock), setup(bench, clock) {
        setup.ChangeDevices([&] {
            std::int32_t id = 0;
            for (int box = 0; box < boxes; ++box) {
                for (int device = 0; device < devicesPerBox; ++device) {
                    if (device < kTtlPorts) {
                        Add(box, device + 1, eDeviceTypeCustomHardware, -1, id++);
                    } else {
                        const int topUnit = device - kTtlPorts;
                        Add(box, kTtlPorts + 1 + topUnit / kTopUnitsPerInterface,
                            eDeviceTypeTopUnitCorvane, 1 + topUnit % kTopUnitsPerInterface, id++);
                    }
                }
            }
            deviceCount = id;
        });
    }

    static BenchConfig Config(int boxes, bool movingInputs) {
        return zentrix::benchmarks::TopUnitInterfaceBoxes(boxes, movingInputs);
    }

    void Add(int box, std::int32_t port, std::int32_t type, std::int32_t position,
             std::int32_t id) {
        setup.AddDevice(box, port,
                        std::make_unique<TCHiIobDevice>(&setup, "device", type, position, id));
    }

    zentrix::sim::SimulatedBench bench;
    TCHiIobHardwareSetup setup;
    std::int32_t deviceCount = 0;
};

double SamplingSeconds() {
    const char* text = std::getenv("ZENTRIX_GROWTH_SECONDS");
    if (text == nullptr) {
        return 0.25;
    }
    char* end = nullptr;
    const double seconds = std::strtod(text, &end);
    return end != text && seconds > 0.0 ? seconds : 0.25;
}

// Names the mode in ZENTRIX_SAMPLING for as long as it lives, whether the setup reads the variable
// when it is created or at StartSampler, and then puts the variable back as it was, so that later
// benchmarks sample the default way.
class SamplingModeVariable {
public:
    explicit SamplingModeVariable(SamplingMode mode) {
        if (const char* value = std::getenv("ZENTRIX_SAMPLING"); value != nullptr) {
            m_previous = value;
        }
        setenv("ZENTRIX_SAMPLING", std::string(zentrix::SamplingModeName(mode)).c_str(), 1);
    }
    ~SamplingModeVariable() {
        if (m_previous) {
            setenv("ZENTRIX_SAMPLING", m_previous->c_str(), 1);
        } else {
            unsetenv("ZENTRIX_SAMPLING");
        }
    }
    SamplingModeVariable(const SamplingModeVariable&) = delete;
    SamplingModeVariable& operator=(const SamplingModeVariable&) = delete;

private:
    std::optional<std::string> m_previous;
};

double Percentile(std::vector<double> samples, double fraction) {
    if (samples.empty()) {
        return 0.0;
    }
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1));
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(index),
                     samples.end());
    return samples[index];
}

template <typename Field>
std::vector<double> Collect(const std::vector<SamplingPeriod>& periods, Field field) {
    std::vector<double> values;
    values.reserve(periods.size());
    for (const auto& period : periods) {
        values.push_back(static_cast<double>(field(period)));
    }
    return values;
}

// Slow periods (many boxes with moving inputs) still give a median and a spread in a short run.
constexpr std::size_t kLeastPeriodsPerLane = 5;
// A sampler that records nothing must not hold the run up for ever.
constexpr std::chrono::seconds kLongestWaitForPeriods{30};

bool EveryLaneHasEnough(const std::vector<SamplingPeriod>& periods) {
    std::map<std::uint32_t, std::size_t> perLane;
    for (const auto& period : periods) {
        ++perLane[period.lane];
    }
    return !perLane.empty() && std::all_of(perLane.begin(), perLane.end(), [](const auto& lane) {
        return lane.second >= kLeastPeriodsPerLane;
    });
}

void Append(std::vector<SamplingPeriod>& periods, const std::vector<SamplingPeriod>& more) {
    periods.insert(periods.end(), more.begin(), more.end());
}

// The real sampler thread on the system clock for a fixed time; one iteration is the whole run,
// and the reported time is the median wall time of a period.
void BM_GrowthPeriod(benchmark::State& state) {
    const int boxes = static_cast<int>(state.range(0));
    const int devicesPerBox = static_cast<int>(state.range(1));
    const bool movingInputs = state.range(2) != 0;
    const SamplingMode mode = state.range(3) == 0 ? SamplingMode::Serial : SamplingMode::Concurrent;
    const auto samplingTime = std::chrono::duration<double>(SamplingSeconds());

    const SamplingModeVariable samplingModeVariable(mode);
    RealSleepsOffHostClock clock;
    PopulatedSetup populated(boxes, devicesPerBox, movingInputs, clock);
    TCHiIobHardwareSetup& setup = populated.setup;
    zentrix::PeriodRecorder& recorder = setup.GetController().GetPeriodRecorder();

    std::vector<SamplingPeriod> periods;
    for (auto _ : state) {
        // ZENTRIX_SAMPLING chooses the mode until the setup offers SetSamplingMode; then call
        // setup.SetSamplingMode(mode) here and drop samplingModeVariable.
        recorder.Enable(std::size_t{1} << 20U);
        setup.StartSampler();
        const auto start = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - start < samplingTime ||
               (!EveryLaneHasEnough(periods) &&
                std::chrono::steady_clock::now() - start < kLongestWaitForPeriods)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            Append(periods, recorder.Take());
        }
        setup.StopSampler();
        Append(periods, recorder.Take());
        recorder.Disable();
        if (periods.empty()) {
            state.SkipWithError("the sampler recorded no period");
            return;
        }
        state.SetIterationTime(
            Percentile(Collect(periods, [](const auto& p) { return p.wallUs; }), 0.5) / 1e6);
    }
    if (const auto errors = populated.bench.ProtocolErrors(); !errors.empty()) {
        state.SkipWithError(("protocol error: " + errors.front().text).c_str());
        return;
    }

    std::map<std::uint32_t, std::vector<SamplingPeriod>> lanes;
    for (const auto& period : periods) {
        lanes[period.lane].push_back(period);
    }
    // A lane's periods per second over the span of its recorded ends; each lane serves an equal
    // share of the boxes, so the mean over lanes is how often one box is sampled.
    double periodsPerBoxPerSecond = 0.0;
    double cpuOfAllLanesUs = 0.0;
    std::uint64_t cpuTotalUs = 0;
    std::uint64_t firstEndUs = periods.front().endUs;
    std::uint64_t lastEndUs = periods.front().endUs;
    for (const auto& [lane, lanePeriods] : lanes) {
        if (lanePeriods.size() > 1) {
            const double spanUs =
                static_cast<double>(lanePeriods.back().endUs - lanePeriods.front().endUs);
            periodsPerBoxPerSecond += static_cast<double>(lanePeriods.size() - 1) / spanUs * 1e6;
        }
        cpuOfAllLanesUs +=
            Percentile(Collect(lanePeriods, [](const auto& p) { return p.cpuUs; }), 0.5);
        for (const auto& period : lanePeriods) {
            cpuTotalUs += period.cpuUs;
            firstEndUs = std::min(firstEndUs, period.endUs - period.wallUs);
            lastEndUs = std::max(lastEndUs, period.endUs);
        }
    }
    periodsPerBoxPerSecond /= static_cast<double>(lanes.size());

    std::vector<double> ratios;
    ratios.reserve(periods.size());
    for (const auto& period : periods) {
        if (period.floorUs != 0) {
            ratios.push_back(static_cast<double>(period.wallUs) /
                             static_cast<double>(period.floorUs));
        }
    }

    state.SetLabel(std::string(zentrix::SamplingModeName(mode)));
    state.counters["boxes"] = boxes;
    state.counters["devices_per_box"] = devicesPerBox;
    state.counters["moving_inputs"] = movingInputs ? 1 : 0;
    state.counters["concurrent"] = mode == SamplingMode::Concurrent ? 1 : 0;
    state.counters["lanes"] = static_cast<double>(lanes.size());
    state.counters["periods"] = static_cast<double>(periods.size());
    state.counters["sampling_seconds"] = samplingTime.count();
    state.counters["wall_median_us"] =
        Percentile(Collect(periods, [](const auto& p) { return p.wallUs; }), 0.5);
    state.counters["wall_p99_us"] =
        Percentile(Collect(periods, [](const auto& p) { return p.wallUs; }), 0.99);
    state.counters["floor_median_us"] =
        Percentile(Collect(periods, [](const auto& p) { return p.floorUs; }), 0.5);
    state.counters["wall_floor_ratio"] = Percentile(ratios, 0.5);
    state.counters["cpu_median_us"] =
        Percentile(Collect(periods, [](const auto& p) { return p.cpuUs; }), 0.5);
    state.counters["cpu_all_lanes_us"] = cpuOfAllLanesUs;
    state.counters["cpu_core_percent"] =
        100.0 * static_cast<double>(cpuTotalUs) / static_cast<double>(lastEndUs - firstEndUs);
    state.counters["periods_per_box_per_s"] = periodsPerBoxPerSecond;
}

void GrowthPeriodArguments(benchmark::internal::Benchmark* benchmark) {
    benchmark->ArgNames({"boxes", "devices", "moving", "concurrent"});
    for (const int concurrent : {0, 1}) {
        for (const int boxes : {1, 2, 4, 8}) {
            for (const int devices : {0, 16, 32, kFullDevicesPerBox}) {
                benchmark->Args({boxes, devices, 0, concurrent});
            }
            benchmark->Args({boxes, kFullDevicesPerBox, 1, concurrent});
        }
    }
}
BENCHMARK(BM_GrowthPeriod)
    ->Apply(GrowthPeriodArguments)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// One period's passes on a clock whose waits cost nothing, so that its time is the CPU the passes
// need for the devices they serve.
void BM_GrowthCpuPerPeriod(benchmark::State& state) {
    const int boxes = static_cast<int>(state.range(0));
    const int devicesPerBox = static_cast<int>(state.range(1));
    zentrix::VirtualClock clock;
    PopulatedSetup populated(boxes, devicesPerBox, false, clock);
    TCHiIobHardwareSetup& setup = populated.setup;
    setup.BeginSampling();
    for (auto _ : state) {
        setup.SampleInputs(true);
        setup.SampleOutputs(true);
        clock.SleepMs(2);
    }
    setup.EndSampling();
    if (const auto errors = populated.bench.ProtocolErrors(); !errors.empty()) {
        state.SkipWithError(("protocol error: " + errors.front().text).c_str());
        return;
    }
    state.counters["boxes"] = boxes;
    state.counters["devices_per_box"] = devicesPerBox;
}
BENCHMARK(BM_GrowthCpuPerPeriod)
    ->ArgNames({"boxes", "devices"})
    ->ArgsProduct({{1, 8}, {0, 8, 16, 32, 48, kFullDevicesPerBox}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
