// A bounded soak: two fully mapped simulated boxes under the real sampler thread while the host's
// thread reads every signal and describes the hardware as fast as it can, sends each device a
// command every 100 ms of bench time (a dispenser a drop every second), and stops and starts
// sampling every few seconds. With the serial sampler time is virtual and moves with the sleeps of
// the sampler and of the sampling passes, so a wall-clock second covers far more bench time than a
// second. Concurrent sampling threads cannot share virtual time (each would advance it with its
// own sleeps, so a box's period in bench time would depend on how the scheduler interleaves the
// threads): that mode runs on real time, with pulses five times shorter. The run lasts
// ZENTRIX_SOAK_SECONDS (or --seconds=N) of wall time, 60 by default.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "model/Catalog.h"
#include "model/Device.h"
#include "model/DeviceType.h"
#include "sampling/SamplingMode.h"
#include "setup/Controller.h"
#include "setup/HardwareSetup.h"
#include "simulator/SimulatedBench.h"
#include "support/TempDir.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZENTRIX_SOAK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZENTRIX_SOAK_SANITIZED 1
#endif
#endif

namespace {

using zentrix::sim::BenchConfig;
using zentrix::sim::BoxConfig;
using zentrix::sim::InputSource;
using zentrix::sim::LickSource;
using zentrix::sim::PulseTrain;
using zentrix::sim::SdiBoard;
using zentrix::sim::SimulatedBench;
using zentrix::sim::TtlDevice;
using Clock = std::chrono::steady_clock;

double g_soakSeconds = 60.0;

constexpr int kBoxCount = 2;
constexpr int kTopUnitInterfaces = 6;  // SDI 1..6, the rest carry lickometers
constexpr int kTopUnitPositions = 4;
constexpr int kDispenserPorts = 3;  // TTL 1..3
constexpr int kTesterPorts = 4;     // TTL 4..7, custom hardware on TTL 8..12
constexpr auto kCycle = std::chrono::seconds(3);
constexpr std::uint32_t kCommandSpacingMs = 100;
// Every "Drop pellet" is carried out, each at least two periods after the one before it on its
// line, so a dispenser is asked no faster than that lets a box with the longest periods (0.35 s)
// keep up with.
constexpr std::uint32_t kDropSpacingMs = 1000;
// A dispenser that made no drop for this long has carried out every drop it was asked for.
constexpr std::uint32_t kDispenserIdleMs = 1000;
// Resident memory may grow by this much from the warm-up sample to the end.
constexpr long kRssToleranceKiB = 2048;

bool IsPulsedTtlPort(int port) {
    return port > kDispenserPorts;
}

bool RunsOnRealTime() {
    return zentrix::SamplingModeFromEnvironment() == zentrix::SamplingMode::Concurrent;
}

// Every TTL input not driven by a dispenser gets a pulse train of its own; lows and highs last
// seconds on virtual time (0.6 s on real time), far beyond any period of this bench (0.35 s)
// under a stream of commands, so every edge is seen as a level change.
BoxConfig FullBox(int boxId) {
    const std::uint32_t scale = RunsOnRealTime() ? 5 : 1;
    BoxConfig box;
    box.boxId = boxId;
    for (int sdi = 1; sdi <= 13; ++sdi) {
        if (sdi <= kTopUnitInterfaces) {
            box.sdiBoards[sdi] = SdiBoard::TopUnitInterface;
        } else {
            box.sdiBoards[sdi] = SdiBoard::Lickometer;
            box.licks.push_back(LickSource{sdi, 2.0 + 0.5 * sdi + boxId, 20u + 10u * (sdi % 4)});
        }
    }
    for (int port = 1; port <= 12; ++port) {
        if (!IsPulsedTtlPort(port)) {
            box.ttlDevices[port] = TtlDevice::PelletDispenser;
            continue;
        }
        for (int line = 1; line <= 2; ++line) {
            const auto every =
                static_cast<std::uint32_t>(7000 + 37 * port + 53 * line + 11 * boxId);
            box.inputs.push_back(
                InputSource{port, line, PulseTrain{every / scale, 3000 / scale, 0}});
        }
    }
    return box;
}

BenchConfig FullBench() {
    BenchConfig config;
    for (int box = 0; box < kBoxCount; ++box) {
        config.boxes.push_back(FullBox(box));
    }
    return config;
}

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

struct MappedDevice {
    std::int32_t id = 0;
    int box = 0;
    std::int32_t port = 0;
    const TCHiIobDeviceType* type = nullptr;
    std::vector<const TCHiIobSignal*> signals;
    std::vector<const TCHiIobCommand*> commands;
};

// A differential signal's value as the bench itself counts it.
using Counts = std::map<std::pair<std::int32_t, std::int32_t>, std::int64_t>;

class Soak : public ::testing::Test {
protected:
    Soak() : bench(FullBench(), clock), setup(bench, clock) {
        setup.ChangeDevices([this] { MapEveryPort(); });
        for (MappedDevice& device : devices) {
            setup.GetSignals(device.type->GetId(), device.signals);
            setup.GetCommands(device.type->GetId(), device.commands);
        }
    }

    void MapEveryPort() {
        std::int32_t id = 1;
        const auto add = [&](int box, std::int32_t port, std::int32_t type, std::int32_t position) {
            ASSERT_TRUE(
                setup.AddDevice(box, port,
                                std::make_unique<TCHiIobDevice>(
                                    &setup, "device " + std::to_string(id), type, position, id)));
            devices.push_back(MappedDevice{id, box, port, setup.GetDeviceType(type), {}, {}});
            ++id;
        };
        for (int box = 0; box < kBoxCount; ++box) {
            for (std::int32_t port = 1; port <= 12; ++port) {
                add(box, port,
                    !IsPulsedTtlPort(port)                   ? eDeviceTypePelletDispenser
                    : port <= kDispenserPorts + kTesterPorts ? eDeviceTypeTtlPortTester
                                                             : eDeviceTypeCustomHardware,
                    -1);
            }
            for (int sdi = 1; sdi <= 13; ++sdi) {
                const std::int32_t port = 12 + sdi;
                if (sdi > kTopUnitInterfaces) {
                    add(box, port, eDeviceTypeLickometer, -1);
                    continue;
                }
                for (std::int32_t position = 1; position <= kTopUnitPositions; ++position) {
                    add(box, port,
                        (sdi + position) % 2 == 0 ? eDeviceTypeTopUnitStandard
                                                  : eDeviceTypeTopUnitCorvane,
                        position);
                }
            }
        }
    }

    // Pauses or resumes every pulse train without cutting a pulse short, so that every edge the
    // bench makes lasts far longer than any sampling period.
    void QuietPulsedInputs(bool quiet) {
        for (int box = 0; box < kBoxCount; ++box) {
            for (int port = kDispenserPorts + 1; port <= 12; ++port) {
                for (int line = 1; line <= 2; ++line) {
                    bench.Box(box).QuietInput(port, line, quiet);
                }
            }
        }
    }

    bool PulsedInputsAreHigh() {
        for (int box = 0; box < kBoxCount; ++box) {
            for (int port = kDispenserPorts + 1; port <= 12; ++port) {
                for (int line = 1; line <= 2; ++line) {
                    if (!bench.Box(box).InputLevel(port, line)) {
                        return false;
                    }
                }
            }
        }
        return true;
    }

    std::int64_t DropsMade() {
        std::int64_t made = 0;
        for (int box = 0; box < kBoxCount; ++box) {
            for (int port = 1; port <= kDispenserPorts; ++port) {
                made += bench.Box(box).PelletsDropped(port);
            }
        }
        return made;
    }

    Counts BenchCounts() {
        Counts counts;
        for (const MappedDevice& device : devices) {
            auto& box = bench.Box(device.box);
            for (const TCHiIobSignal* signal : device.signals) {
                if (!signal->IsDifferential()) {
                    continue;
                }
                std::int64_t& count = counts[{device.id, signal->GetId()}];
                if (signal->GetKind() == eSignalKindData) {
                    const auto reports = box.ReportedLicks(device.port - 12);
                    count = signal->GetValueType() == eKavexIdtHiVtDuration
                                ? static_cast<std::int64_t>(reports.lickTimeMs * 1000)
                                : static_cast<std::int64_t>(reports.licks);
                } else if (device.type->GetId() == eDeviceTypePelletDispenser) {
                    // A drop pulse can be shorter than a period of two fully mapped boxes: the
                    // host can count only the drops that a read of the box caught.
                    const auto sampled = box.SampledEdges(device.port, signal->GetLine());
                    count = signal->GetDerivation() == eDerivationFallingCount ? sampled.falls
                                                                               : sampled.rises;
                } else if (signal->GetDerivation() == eDerivationFallingCount) {
                    count = box.InputEdges(device.port, signal->GetLine()).falls;
                } else if (signal->GetDerivation() == eDerivationRisingCount) {
                    count = box.InputEdges(device.port, signal->GetLine()).rises;
                } else {
                    ADD_FAILURE() << "no bench count for signal " << signal->GetName();
                }
            }
        }
        return counts;
    }

    void ReadAll(Counts& sums) {
        for (const MappedDevice& device : devices) {
            for (const TCHiIobSignal* signal : device.signals) {
                tagTECKavexIdtHiValue record{};
                setup.ReceiveSignal(device.id, signal->GetId(), record);
                ++hostCalls;
                if (!signal->IsDifferential()) {
                    continue;
                }
                ASSERT_EQ(record.m_eType, signal->GetValueType()) << signal->GetName();
                sums[{device.id, signal->GetId()}] += record.m_eType == eKavexIdtHiVtDuration
                                                          ? record.m_nMicroSeconds
                                                          : record.m_lValueLongLong;
            }
        }
    }

    void Describe() {
        std::vector<const TCHiIobIOBox*> boxes;
        setup.GetIODevices(boxes);
        std::vector<const TCHiIobDevice*> all;
        setup.GetDevices(all);
        std::vector<const TCHiIobDeviceType*> types;
        setup.GetDeviceTypes(types);
        for (const TCHiIobDeviceType* type : types) {
            std::vector<const TCHiIobCommand*> commands;
            setup.GetCommands(type->GetId(), commands);
            std::vector<const TCHiIobSignal*> signals;
            setup.GetSignals(type->GetId(), signals);
        }
        for (int box = 0; box < kBoxCount; ++box) {
            EXPECT_TRUE(setup.IsIODeviceConnected(box));
        }
        ASSERT_EQ(all.size(), devices.size());
        ASSERT_EQ(boxes.size(), static_cast<std::size_t>(kBoxCount));
        hostCalls += 5 + 2 * types.size();
    }

    // Each device gets its next command once the bench has moved on by kCommandSpacingMs since
    // its last, the devices spread evenly over that time: a host that sends faster than the box
    // carries commands out only grows the queue and stretches the periods beyond the shortest
    // pulse a box's inputs must catch.
    void SendDueCommands(std::uint64_t round) {
        const std::uint32_t now = clock.NowMs();
        if (nextCommandMs.empty()) {
            for (std::size_t i = 0; i < devices.size(); ++i) {
                nextCommandMs.push_back(
                    now + static_cast<std::uint32_t>(i * kCommandSpacingMs / devices.size()));
            }
        }
        for (std::size_t i = 0; i < devices.size(); ++i) {
            const MappedDevice& device = devices[i];
            if (device.commands.empty() || static_cast<std::int32_t>(now - nextCommandMs[i]) < 0) {
                continue;
            }
            nextCommandMs[i] =
                now + (device.type->GetId() == eDeviceTypePelletDispenser ? kDropSpacingMs
                                                                          : kCommandSpacingMs);
            const TCHiIobCommand* command =
                device.commands[(round + device.id) % device.commands.size()];
            ASSERT_TRUE(setup.SendCommand(device.id, command->GetId()));
            ++hostCalls;
        }
    }

    // Host calls until the bench has moved on by `benchMs`; false when the sampler stopped moving
    // the clock.
    bool ReadWhileBenchRuns(std::uint32_t benchMs, Counts& sums) {
        const std::uint32_t start = clock.NowMs();
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (clock.NowMs() - start < benchMs) {
            if (Clock::now() > deadline) {
                return false;
            }
            ReadAll(sums);
            Describe();
        }
        return true;
    }

    void ExpectNoProtocolErrors() {
        for (const auto& error : bench.ProtocolErrors()) {
            ADD_FAILURE() << "box " << error.boxId << " at " << error.timeMs
                          << " ms: " << error.text;
        }
    }

    zentrix::testing::TempRegistry registry{""};
    zentrix::VirtualClock virtualClock;
    zentrix::Clock& clock = RunsOnRealTime()
                                ? static_cast<zentrix::Clock&>(zentrix::SystemClock::Instance())
                                : virtualClock;
    SimulatedBench bench;
    TCHiIobHardwareSetup setup;
    std::vector<MappedDevice> devices;
    std::vector<std::uint32_t> nextCommandMs;
    std::uint64_t hostCalls = 0;
};

TEST_F(Soak, DifferentialReadsAddUpToWhatTheBenchMadeAndMemoryStaysFlat) {
    ASSERT_EQ(devices.size(), static_cast<std::size_t>(kBoxCount * (12 + 6 * 4 + 7)));
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(g_soakSeconds));
    const auto warmUp = start + (end - start) / 5;
    long warmRss = -1;
    long peakRss = 0;
    int cycles = 0;
    std::int64_t edges = 0;
    std::int64_t licks = 0;
    std::int64_t drops = 0;
    std::int64_t dropsSeen = 0;
    std::int64_t edgesSeen = 0;
    // Setting up may have taken long enough for a pulse to begin; it ends before the first start.
    QuietPulsedInputs(true);
    while (!PulsedInputsAreHigh()) {
        clock.SleepMs(10);
    }

    while (!HasFailure()) {
        Counts sums;
        setup.StartSampler();
        ASSERT_TRUE(setup.GetController().IsSampling());
        // After the start, which reads out and drops what the lickometers counted while stopped;
        // the pulsed inputs are quiet until the next line.
        const Counts before = BenchCounts();
        QuietPulsedInputs(false);
        const auto cycleEnd = std::min(Clock::now() + kCycle, end);
        for (std::uint64_t round = 0; Clock::now() < cycleEnd && !HasFailure(); ++round) {
            SendDueCommands(round);
            ReadAll(sums);
            Describe();
        }
        // No pulse begins and no drop is asked for any more; once the last low phases have ended
        // and the dispensers have made the drops asked for, long enough for the lickometers'
        // next reads to finish.
        QuietPulsedInputs(true);
        while (!PulsedInputsAreHigh()) {
            ASSERT_TRUE(ReadWhileBenchRuns(100, sums)) << "the sampler stopped moving the bench";
        }
        for (std::int64_t dropsBefore = -1; dropsBefore != DropsMade();) {
            dropsBefore = DropsMade();
            ASSERT_TRUE(ReadWhileBenchRuns(kDispenserIdleMs, sums))
                << "the sampler stopped moving the bench";
        }
        ASSERT_TRUE(ReadWhileBenchRuns(1500, sums)) << "the sampler stopped moving the bench";
        ASSERT_TRUE(setup.StopSampler());
        ReadAll(sums);
        const Counts after = BenchCounts();
        for (const auto& [key, total] : after) {
            const std::int64_t made = total - before.at(key);
            const MappedDevice& device = devices[static_cast<std::size_t>(key.first - 1)];
            EXPECT_EQ(sums[key], made)
                << "device " << key.first << " signal " << key.second << " in cycle " << cycles;
            if (device.type->GetId() == eDeviceTypeLickometer) {
                licks += key.second == 0 ? made : 0;
            } else if (device.type->GetId() == eDeviceTypePelletDispenser) {
                drops += made;
                dropsSeen += sums[key];
            } else {
                edges += made;
                edgesSeen += sums[key];
            }
        }
        ExpectNoProtocolErrors();
        ++cycles;
        const long rss = ResidentKiB();
        peakRss = std::max(peakRss, rss);
        if (warmRss < 0 && Clock::now() >= warmUp) {
            warmRss = rss;
        }
        if (Clock::now() >= end) {
            break;
        }
    }
    const long finalRss = ResidentKiB();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::cout << "soak: " << seconds << " s wall, " << static_cast<double>(bench.NowMs()) / 1000.0
              << " s bench time, " << cycles << " start/stop cycles, " << hostCalls
              << " host calls, " << edgesSeen << " of " << edges << " edges counted, " << dropsSeen
              << " of " << drops << " caught drops counted (" << DropsMade() << " made), " << licks
              << " licks; resident " << warmRss << " KiB after warm-up, " << finalRss
              << " KiB at the end, peak " << peakRss << " KiB" << std::endl;
    EXPECT_GT(cycles, 0);
    EXPECT_GT(edges, 0);
    // Whether a read catches a drop pulse is chance (few do in a slow sanitizer build); that drops
    // were made, and that every caught one was counted, is not.
    EXPECT_GT(DropsMade(), 0);
    EXPECT_GT(licks, 0);
#ifndef ZENTRIX_SOAK_SANITIZED
    ASSERT_GT(warmRss, 0);
    EXPECT_LT(finalRss - warmRss, kRssToleranceKiB)
        << "resident memory grew from " << warmRss << " KiB to " << finalRss << " KiB";
#endif
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (const char* seconds = std::getenv("ZENTRIX_SOAK_SECONDS")) {
        g_soakSeconds = std::atof(seconds);
    }
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.rfind("--seconds=", 0) == 0) {
            g_soakSeconds = std::atof(argument.c_str() + 10);
        } else {
            std::cerr << "usage: " << argv[0] << " [--seconds=N] [gtest options]\n";
            return 2;
        }
    }
    if (g_soakSeconds <= 0.0) {
        std::cerr << "the soak needs a positive number of seconds\n";
        return 2;
    }
    return RUN_ALL_TESTS();
}
