// One IO box pass on the simulated box with a zero-cost clock: the CPU time of the access layer
// and the simulator together, the report exchanges each pass makes, and its heap allocations.
#include <benchmark/benchmark.h>

#include "AllocationCounter.h"
#include "iobox/Warrior.h"
#include "platform/Clock.h"
#include "simulator/SimulatedBench.h"
#include "support/ForwardingLibrary.h"

namespace {

using zentrix::sim::BenchConfig;
using zentrix::sim::BoxConfig;
using zentrix::sim::SdiBoard;

// Passes every call on to the simulated bench and counts the report exchanges (writes and reads).
class CountingLibrary final : public zentrix::testing::ForwardingLibrary {
public:
    using ForwardingLibrary::ForwardingLibrary;

    std::uint32_t Write(zentrix::IowHandle handle, std::uint32_t pipe, const std::uint8_t* buffer,
                        std::uint32_t length) override {
        ++exchanges;
        return ForwardingLibrary::Write(handle, pipe, buffer, length);
    }
    std::uint32_t Read(zentrix::IowHandle handle, std::uint32_t pipe, std::uint8_t* buffer,
                       std::uint32_t length) override {
        ++exchanges;
        return ForwardingLibrary::Read(handle, pipe, buffer, length);
    }

    std::uint64_t exchanges = 0;
};

// Every TTL line as output and input, and a top-unit interface with all 28 lines on every SDI
// port. With `countExchanges` the access layer reaches the bench through a counting library.
struct FullBox {
    explicit FullBox(bool countExchanges = false)
        : bench(Config(), clock),
          counter(bench),
          warrior(bench.OpenDevice(),
                  countExchanges ? static_cast<zentrix::IoWarriorLibrary&>(counter) : bench,
                  clock) {
        TCHiIobPortLines ttl;
        for (std::int32_t port = 1; port <= 12; ++port) {
            ttl.emplace_back(port, 1);
            ttl.emplace_back(port, 2);
        }
        TCHiIobPortLines sdi;
        std::vector<std::int32_t> expanders;
        for (std::int32_t port = 1; port <= 13; ++port) {
            expanders.push_back(port);
            for (std::int32_t line = 1; line <= 28; ++line) {
                sdi.emplace_back(port, line);
            }
        }
        warrior.Configure(ttl, sdi, ttl, {}, {}, expanders, {}, 2.0);
        warrior.ResetOutputs();
        warrior.ResetInputs();
        warrior.ReadInputs(false);
        warrior.WriteOutputs(false, false);
    }

    static BenchConfig Config() {
        BoxConfig box;
        for (int port = 1; port <= 13; ++port) {
            box.sdiBoards[port] = SdiBoard::TopUnitInterface;
        }
        BenchConfig config;
        config.boxes.push_back(box);
        return config;
    }

    zentrix::VirtualClock clock;
    zentrix::sim::SimulatedBench bench;
    CountingLibrary counter;
    TCHiIobWarrior warrior;
};

void BM_IdlePass(benchmark::State& state) {
    FullBox box;
    box.warrior.ReadInputs(true);
    box.warrior.WriteOutputs(true, false);
    const std::uint32_t before = box.clock.NowMs();
    const std::uint64_t allocationsBefore = zentrix::bench::AllocationCount();
    for (auto _ : state) {
        box.warrior.ReadInputs(true);
        box.warrior.WriteOutputs(true, false);
    }
    const auto passes = static_cast<double>(state.iterations());
    // Every exchange sleeps 2 ms on the clock, so virtual time counts them.
    state.counters["exchanges/pass"] =
        static_cast<double>(box.clock.NowMs() - before) / 2.0 / passes;
    state.counters["allocs/pass"] =
        static_cast<double>(zentrix::bench::AllocationCount() - allocationsBefore) / passes;
}
BENCHMARK(BM_IdlePass);

// One input of interrupt group 0 changes before every pass; groups 1 and 2 are registered but idle.
void BM_ActivePass(benchmark::State& state) {
    FullBox box(true);
    box.warrior.ReadInputs(true);
    box.warrior.WriteOutputs(true, false);
    bool level = true;
    const std::uint32_t before = box.clock.NowMs();
    const std::uint64_t exchangesBefore = box.counter.exchanges;
    for (auto _ : state) {
        level = !level;
        box.bench.Box(0).DriveInput(1, 1, level);
        box.warrior.ReadInputs(true);
        box.warrior.WriteOutputs(true, false);
    }
    const auto passes = static_cast<double>(state.iterations());
    state.counters["exchanges/pass"] =
        static_cast<double>(box.counter.exchanges - exchangesBefore) / passes;
    state.counters["simulated_ms/pass"] = static_cast<double>(box.clock.NowMs() - before) / passes;
}
BENCHMARK(BM_ActivePass);

void BM_EveryRegisterChanged(benchmark::State& state) {
    FullBox box;
    bool level = false;
    const std::uint32_t before = box.clock.NowMs();
    for (auto _ : state) {
        level = !level;
        for (std::int32_t port = 1; port <= 25; ++port) {
            const std::int32_t lines = port <= 12 ? 2 : 28;
            for (std::int32_t line = 1; line <= lines; ++line) {
                box.warrior.SetOutput(port, line, level, 0);
            }
        }
        box.warrior.ReadInputs(false);
        box.warrior.WriteOutputs(true, false);
    }
    state.counters["exchanges/pass"] = static_cast<double>(box.clock.NowMs() - before) / 2.0 /
                                       static_cast<double>(state.iterations());
}
BENCHMARK(BM_EveryRegisterChanged);

}  // namespace
