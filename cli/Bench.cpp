#include "Bench.h"

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>
#include <tuple>

#include "BenchScenario.h"
#include "CliError.h"
#include "StopSignal.h"
#include "TextTable.h"

namespace zentrix::cli {

namespace {

namespace fs = std::filesystem;

// The sampling threads' real-time priority.
constexpr int kBareSleepPriority = 10;

double Rounded(double value) {
    return std::round(value * 10.0) / 10.0;
}
using Json = nlohmann::ordered_json;

constexpr int kMaxBoxes = 16;
// A width counts as counted reliably from this share of falls on.
constexpr double kSweepShare = 0.999;
constexpr int kInterruptedExitCode = 130;

class ScratchDirectory {
public:
    ScratchDirectory() {
        std::string pattern = (fs::temp_directory_path() / "zentrix-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw CliError("cannot make a temporary directory for the bench: " +
                           std::string(std::strerror(errno)));
        }
        m_path = pattern;
    }
    ~ScratchDirectory() {
        std::error_code error;
        fs::remove_all(m_path, error);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const fs::path& Path() const { return m_path; }

private:
    fs::path m_path;
};

struct Job {
    ScenarioPlan plan;
    // Empty on real hardware.
    fs::path benchFile;
    fs::path registryFile;
    fs::path resultFile;
};

void WriteFile(const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary);
    out << text;
    if (!out.flush()) {
        throw CliError("cannot write " + file.string());
    }
}

std::vector<Job> PlanJobs(const BenchOptions& options, const BenchHost& host,
                          const fs::path& scratch) {
    std::vector<Job> jobs;
    if (options.real) {
        Job job;
        job.plan.load = "real";
        job.plan.modes = options.modes;
        job.plan.seconds = options.secondsPerScenario;
        job.plan.configDirectory = host.configDirectory;
        job.plan.periodTrace = scratch / "real-periods.txt";
        job.resultFile = scratch / "real-result.json";
        jobs.push_back(job);
        return jobs;
    }
    for (const int boxes : options.boxCounts) {
        const fs::path directory = scratch / ("boxes-" + std::to_string(boxes));
        fs::create_directories(directory);
        WriteFile(directory / "HardwareSetup.xml", FullyMappedSetup(boxes));
        // Each mode and timing on a simulator of its own, which starts where the plug-in's input
        // cache starts: with every input last read high. A sweep runs the active bench once per
        // pulse width.
        std::vector<int> lows = options.pulseWidthsMs;
        if (lows.empty()) {
            lows.push_back(0);
        }
        for (const std::string& load : options.loads) {
            for (const int low : load == "active" ? lows : std::vector<int>{0}) {
                for (const std::string& mode : options.modes) {
                    for (const std::string& timing : options.timings) {
                        std::string name = load;
                        name.append("-").append(std::to_string(low)).append("-").append(mode);
                        name.append("-").append(timing);
                        Job job;
                        job.plan.boxes = boxes;
                        job.plan.load = load;
                        job.plan.modes = {mode};
                        job.plan.timing = timing;
                        job.plan.seconds = options.secondsPerScenario;
                        job.plan.commandEveryMs = options.commandEveryMs;
                        if (load == "active") {
                            job.plan.toggleLowMs = low;
                            job.plan.toggleEveryMs =
                                low > 0 ? low + kSweepHighMs : options.toggleEveryMs;
                        }
                        job.plan.configDirectory = directory;
                        job.plan.eventLog = directory / (name + "-events.jsonl");
                        job.plan.periodTrace = directory / (name + "-periods.txt");
                        job.benchFile = directory / (name + "-bench.json");
                        job.registryFile = scratch / "registry.reg";
                        job.resultFile = directory / (name + "-result.json");
                        WriteFile(job.benchFile,
                                  SimulatedBenchFile(boxes, job.plan.toggleEveryMs,
                                                     job.plan.toggleLowMs, job.plan.eventLog)
                                      .dump(2));
                        jobs.push_back(job);
                    }
                }
            }
        }
    }
    return jobs;
}

[[noreturn]] void RunChild(const Job& job, const BenchHost& host) {
    Json outcome;
    try {
        if (job.benchFile.empty()) {
            setenv("ZENTRIX_IOWARRIOR", "kernel", 1);
        } else {
            setenv("ZENTRIX_IOWARRIOR", ("sim:" + job.benchFile.string()).c_str(), 1);
            // A missing store gives the catalog's defaults, whatever the user's registry says.
            setenv("ZENTRIX_REGISTRY", job.registryFile.c_str(), 1);
            const bool original = job.plan.timing == "original";
            setenv("ZENTRIX_TIMING", original ? "spec" : job.plan.timing.c_str(), 1);
            setenv("ZENTRIX_SCHEDULE", original ? "passes" : "inputs-first", 1);
        }
        setenv("ZENTRIX_PERIOD_TRACE", job.plan.periodTrace.c_str(), 1);
        const PluginLibrary library(host.pluginLibrary);
        outcome["results"] = RunScenario(job.plan, library, host.classId);
        outcome["interrupted"] = StopRequested();
    } catch (const std::exception& error) {
        outcome = {{"error", error.what()}};
    } catch (...) {
        outcome = {{"error", "the bench process failed"}};
    }
    int status = 0;
    try {
        WriteFile(job.resultFile, outcome.dump());
    } catch (...) {
        status = 1;
    }
    std::fflush(nullptr);
    // No destructor of the parent's objects may run twice, the scratch directory's above all.
    _exit(status);
}

std::string Describe(const ScenarioPlan& plan) {
    if (plan.boxes == 0) {
        return "the attached boxes";
    }
    std::string text =
        std::to_string(plan.boxes) + (plan.boxes == 1 ? " box, " : " boxes, ") + plan.load;
    if (plan.toggleLowMs > 0) {
        text += " (" + std::to_string(plan.toggleLowMs) + " ms lows)";
    }
    return text + ", " + plan.modes.front() + ", " + plan.timing + " timing";
}

Json RunJob(const Job& job, const BenchHost& host) {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        throw CliError("cannot start a bench process: " + std::string(std::strerror(errno)));
    }
    if (child == 0) {
        RunChild(job, host);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            throw CliError("lost the bench process: " + std::string(std::strerror(errno)));
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw CliError("the bench process for " + Describe(job.plan) + " ended " +
                       (WIFSIGNALED(status)
                            ? "by signal " + std::to_string(WTERMSIG(status))
                            : "with status " + std::to_string(WEXITSTATUS(status))));
    }
    std::ifstream in(job.resultFile, std::ios::binary);
    Json outcome;
    try {
        outcome = Json::parse(in);
    } catch (const nlohmann::json::exception&) {
        throw CliError("the bench process for " + Describe(job.plan) + " left no result");
    }
    if (outcome.contains("error")) {
        throw CliError(outcome["error"].get<std::string>());
    }
    return outcome;
}

std::vector<double> LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::vector<double> averages(3, 0.0);
    for (double& average : averages) {
        in >> average;
    }
    return averages;
}

// What this machine itself spends on the kind of wait the sampler makes most, a 2 ms sleep: on a
// thread as the system starts it, and on one set up as the concurrent sampling threads are (least
// timer slack, a real-time priority when allowed, an absolute deadline). A period's wall time can
// come no closer to its floor than its sleeps' overshoot, nor its CPU time below theirs.
Json BareSleepCost(bool timely) {
    constexpr int kSleeps = 250;
    constexpr std::int64_t kSleepNs = 2000000;
    std::vector<std::int64_t> overshootsNs;
    std::int64_t cpuNs = 0;
    std::thread thread([&] {
        if (timely) {
            prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
            const sched_param priority{kBareSleepPriority};
            pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
        }
        const auto nowNs = [](clockid_t clock) {
            timespec now{};
            clock_gettime(clock, &now);
            return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
        };
        const std::int64_t cpuBefore = nowNs(CLOCK_THREAD_CPUTIME_ID);
        for (int i = 0; i < kSleeps; ++i) {
            const std::int64_t deadline = nowNs(CLOCK_MONOTONIC) + kSleepNs;
            const timespec until{static_cast<time_t>(deadline / 1000000000),
                                 static_cast<long>(deadline % 1000000000)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
            }
            overshootsNs.push_back(nowNs(CLOCK_MONOTONIC) - deadline);
        }
        cpuNs = nowNs(CLOCK_THREAD_CPUTIME_ID) - cpuBefore;
    });
    thread.join();
    std::sort(overshootsNs.begin(), overshootsNs.end());
    return {
        {"overshoot_median_us", Rounded(static_cast<double>(overshootsNs[kSleeps / 2]) / 1000.0)},
        {"cpu_us", Rounded(static_cast<double>(cpuNs) / kSleeps / 1000.0)}};
}

std::string CpuModel() {
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("model name", 0) == 0) {
            const auto colon = line.find(':');
            return colon == std::string::npos ? std::string() : line.substr(colon + 2);
        }
    }
    return {};
}

std::string Fixed(double value, int decimals) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return buffer;
}

std::string Milliseconds(const Json& microseconds) {
    return microseconds.is_number() ? Fixed(microseconds.get<double>() / 1000.0, 2) : "-";
}

std::string PeriodCell(const Json& figure) {
    if (!figure.is_object()) {
        return "-";
    }
    const std::string ratio =
        figure["ratio"].is_number() ? Fixed(figure["ratio"].get<double>(), 2) + "x" : "-";
    return Milliseconds(figure["wall_us"]) + " (" + Milliseconds(figure["floor_us"]) + ", " +
           ratio + ")";
}

std::string LoadCell(const Json& result) {
    const std::string load = result["load"];
    return load == "active" && result["toggle_low_ms"].is_number()
               ? load + " " + std::to_string(result["toggle_low_ms"].get<int>())
               : load;
}

std::string TimingCell(const Json& result) {
    return result["timing"].is_string() ? result["timing"].get<std::string>() : "-";
}

std::string CountCell(const Json& counted, const Json& produced) {
    return std::to_string(counted.get<std::int64_t>()) + "/" +
           std::to_string(produced.get<std::int64_t>());
}

std::string WorstBoxCell(const Json& edges) {
    const Json* worst = nullptr;
    double worstShare = 2.0;
    for (const Json& box : edges["per_box"]) {
        const auto produced = box["produced"].get<std::int64_t>();
        const double share = produced == 0
                                 ? 1.0
                                 : static_cast<double>(box["counted"].get<std::int64_t>()) /
                                       static_cast<double>(produced);
        if (share < worstShare) {
            worstShare = share;
            worst = &box;
        }
    }
    return worst == nullptr ? "-"
                            : "box " + std::to_string((*worst)["box"].get<int>()) + " " +
                                  CountCell((*worst)["counted"], (*worst)["produced"]);
}

void PrintLines(const TextTable& table) {
    for (const std::string& line : table.Lines()) {
        std::cout << line << '\n';
    }
}

void PrintText(const Json& document) {
    const bool real = document["backend"] == "real";
    const Json& machine = document["machine"];
    const Json& sleep = machine["bare_2ms_sleep"];
    std::cout << "zentrix bench on " << (real ? "the attached IO boxes" : "the simulator")
              << (real ? "" : ", fully mapped boxes") << ", "
              << Fixed(document["seconds_per_scenario"].get<double>(), 1) << " s per scenario";
    if (!real) {
        const double every = document["command_every_ms"].get<double>();
        std::cout << (every > 0.0 ? ", to each box a command every " + Fixed(every, 0) +
                                        " ms on average, at random moments"
                                  : ", no commands");
    }
    std::cout << "\nmachine: " << machine["cores"].get<unsigned>() << " cores";
    if (!machine["cpu"].get<std::string>().empty()) {
        std::cout << " (" << machine["cpu"].get<std::string>() << ")";
    }
    std::cout << ", load average " << Fixed(machine["load_before"][0].get<double>(), 2)
              << " before, " << Fixed(machine["load_after"][0].get<double>(), 2) << " after\n"
              << "a bare 2 ms sleep here overshoots by a median "
              << Fixed(sleep["plain"]["overshoot_median_us"].get<double>(), 0)
              << " us on a plain thread (serial sampling) and "
              << Fixed(sleep["timely"]["overshoot_median_us"].get<double>(), 0)
              << " us on a timely one (concurrent sampling), and costs "
              << Fixed(sleep["timely"]["cpu_us"].get<double>(), 0)
              << " us of CPU: the least each sleep adds to a period\n\n";

    std::cout << "Sampler periods in ms: wall time (floor of the same period, wall/floor); CPU "
                 "of the sampling threads\n";
    TextTable periods({"BOXES", "LOAD", "MODE", "TIMING", "PERIODS", "MEDIAN", "P99", "MAX",
                       "CPU/PERIOD", "CPU %CORE", "REPORTS/S/BOX"});
    for (const Json& result : document["scenarios"]) {
        const Json& figures = result["periods"];
        const Json& cpu = result["cpu_per_period"];
        periods.AddRow(
            {std::to_string(result["boxes"].get<int>()), LoadCell(result), result["mode"],
             TimingCell(result), std::to_string(figures["count"].get<std::size_t>()),
             PeriodCell(figures["median"]), PeriodCell(figures["p99"]), PeriodCell(figures["max"]),
             Milliseconds(cpu["median_us"]), Fixed(cpu["percent_of_core"].get<double>(), 1),
             result["reports_per_second_per_box"].is_number()
                 ? Fixed(result["reports_per_second_per_box"].get<double>(), 0)
                 : "-"});
    }
    PrintLines(periods);
    if (real) {
        std::cout.flush();
        return;
    }
    std::cout
        << "\nCommand to line latency in ms; falling edges of the moving inputs counted by the "
           "host / made by the simulator, made falls that the box's register reads showed, "
           "and falls counted against those shown over the whole sampling session\n";
    TextTable latency({"BOXES", "LOAD", "MODE", "TIMING", "ANSWERED", "MEDIAN", "P99", "MAX",
                       "EDGES", "WORST BOX", "READ", "COUNTED/READ"});
    for (const Json& result : document["scenarios"]) {
        const Json& commands = result["latency"];
        const Json& edges = result["edges"];
        const bool moving = result["load"] == "active";
        const bool sent = commands.is_object();
        latency.AddRow({std::to_string(result["boxes"].get<int>()), LoadCell(result),
                        result["mode"], TimingCell(result),
                        sent ? CountCell(commands["answered"], commands["sent"]) : "-",
                        sent ? Milliseconds(commands["median_us"]) : "-",
                        sent ? Milliseconds(commands["p99_us"]) : "-",
                        sent ? Milliseconds(commands["max_us"]) : "-",
                        moving ? CountCell(edges["counted"], edges["produced"]) : "-",
                        moving ? WorstBoxCell(edges) : "-",
                        moving ? CountCell(edges["read"], edges["produced"]) : "-",
                        moving ? CountCell(edges["session_counted"], edges["session_read"]) : "-"});
    }
    PrintLines(latency);

    std::cout << "\nFrom a fall of the moving input to the first register read that showed it, in "
                 "ms of simulator time; falls seen by some read / missed by every read\n";
    TextTable reads({"BOXES", "LOAD", "MODE", "TIMING", "SEEN", "MISSED", "MEDIAN", "P99", "MAX"});
    for (const Json& result : document["scenarios"]) {
        const Json& wait = result["input_to_read"];
        if (!wait.is_object()) {
            continue;
        }
        const auto cell = [&wait](const char* key) {
            return wait[key].is_number() ? std::to_string(wait[key].get<std::int64_t>())
                                         : std::string("-");
        };
        reads.AddRow({std::to_string(result["boxes"].get<int>()), LoadCell(result), result["mode"],
                      TimingCell(result), cell("seen"), cell("missed"), cell("median_ms"),
                      cell("p99_ms"), cell("max_ms")});
    }
    PrintLines(reads);

    std::cout << "\nHow precisely the events say when: the window of an input edge (from the last "
                 "read that did not show it to the read that did) and of a command's write, in ms, "
                 "beside the median period\n";
    TextTable windows({"BOXES", "LOAD", "MODE", "TIMING", "PERIOD", "EDGES", "EDGE MEDIAN",
                       "EDGE P99", "COMMANDS", "WRITE MEDIAN", "WRITE P99"});
    for (const Json& result : document["scenarios"]) {
        const Json& window = result["event_windows"];
        if (!window.is_object()) {
            continue;
        }
        windows.AddRow(
            {std::to_string(result["boxes"].get<int>()), LoadCell(result), result["mode"],
             TimingCell(result), Milliseconds(result["periods"]["median"]["wall_us"]),
             std::to_string(window["edges"].get<std::size_t>()),
             Milliseconds(window["median_edge_us"]), Milliseconds(window["p99_edge_us"]),
             std::to_string(window["commands"].get<std::size_t>()),
             Milliseconds(window["median_command_us"]), Milliseconds(window["p99_command_us"])});
    }
    PrintLines(windows);

    const Json& sweep = document["sweep"];
    if (sweep.is_array() && !sweep.empty()) {
        std::cout << "\nPulse-width sweep: falls counted by the host / made by the simulator, per "
                     "low-phase width in ms; the shortest width from which on every width is "
                     "counted at 99.9% or better\n";
        std::vector<std::string> header{"BOXES", "MODE", "TIMING"};
        for (const Json& point : sweep.front()["points"]) {
            header.push_back(std::to_string(point["low_ms"].get<int>()) + " MS");
        }
        header.emplace_back("SHORTEST >= 99.9%");
        TextTable widths(header);
        for (const Json& series : sweep) {
            std::vector<std::string> row{std::to_string(series["boxes"].get<int>()), series["mode"],
                                         series["timing"]};
            for (const Json& point : series["points"]) {
                row.push_back(Fixed(point["percent"].get<double>(), 2) + "%");
            }
            row.push_back(series["shortest_ms"].is_number()
                              ? std::to_string(series["shortest_ms"].get<int>()) + " ms"
                              : "none");
            widths.AddRow(row);
        }
        PrintLines(widths);
    }
    std::cout.flush();
}

// The falls counted at each low-phase width, per box count, mode and timing, in width order.
Json SweepSummary(const Json& scenarios) {
    std::map<std::tuple<int, std::string, std::string>,
             std::map<int, std::pair<std::int64_t, std::int64_t>>>
        series;
    for (const Json& result : scenarios) {
        if (result["load"] != "active" || !result["edges"].is_object() ||
            !result["toggle_low_ms"].is_number() || !result["timing"].is_string()) {
            continue;
        }
        auto& point =
            series[{result["boxes"].get<int>(), result["mode"].get<std::string>(),
                    result["timing"].get<std::string>()}][result["toggle_low_ms"].get<int>()];
        point.first += result["edges"]["counted"].get<std::int64_t>();
        point.second += result["edges"]["produced"].get<std::int64_t>();
    }
    Json summary = Json::array();
    for (const auto& [key, points] : series) {
        Json entry;
        entry["boxes"] = std::get<0>(key);
        entry["mode"] = std::get<1>(key);
        entry["timing"] = std::get<2>(key);
        entry["points"] = Json::array();
        Json shortest = nullptr;
        // The first width of the run of reliable widths that reaches the widest one.
        for (const auto& [low, counts] : points) {
            const auto [counted, produced] = counts;
            const double share =
                produced == 0 ? 1.0 : static_cast<double>(counted) / static_cast<double>(produced);
            if (share < kSweepShare) {
                shortest = nullptr;
            } else if (shortest.is_null()) {
                shortest = low;
            }
        }
        for (const auto& [low, counts] : points) {
            // The two reads of the counts that bound the window may each put a fall made next to
            // them on the other side, so up to one per box more can be counted than made in it;
            // the session's figures (counted against what the reads showed) are exact.
            const double percent = counts.second == 0
                                       ? 100.0
                                       : std::min(100.0, 100.0 * static_cast<double>(counts.first) /
                                                             static_cast<double>(counts.second));
            entry["points"].push_back({{"low_ms", low},
                                       {"counted", counts.first},
                                       {"produced", counts.second},
                                       {"percent", std::round(percent * 100.0) / 100.0}});
        }
        entry["shortest_ms"] = shortest;
        summary.push_back(entry);
    }
    return summary;
}

// Keeps the first of each repeated choice, in the order given.
template <typename T>
void DropRepeats(std::vector<T>& values) {
    std::vector<T> kept;
    for (const T& value : values) {
        if (std::find(kept.begin(), kept.end(), value) == kept.end()) {
            kept.push_back(value);
        }
    }
    values = kept;
}

}  // namespace

const char* const kBenchHelp =
    "Measure the sampler: period wall time against its floor of mandatory waits, "
    "command-to-line latency and counted input edges, on simulated boxes (or real ones)";

void AddBenchOptions(CLI::App& app, BenchOptions& options) {
    CLI::App* command = &app;
    auto* boxes = command
                      ->add_option("--boxes", options.boxCounts,
                                   "Numbers of simulated boxes to measure (default 1,2,4,8)")
                      ->delimiter(',')
                      ->check(CLI::Range(1, kMaxBoxes))
                      ->type_name("N,...");
    command
        ->add_option("--modes", options.modes,
                     "Sampling modes, each measured in turn (default serial,concurrent)")
        ->delimiter(',')
        ->check(CLI::IsMember({"serial", "concurrent"}))
        ->type_name("MODE,...");
    auto* loads = command
                      ->add_option("--loads", options.loads,
                                   "idle: no input moves; active: one input of every box falls "
                                   "at the --toggle-every pace (default idle,active)")
                      ->delimiter(',')
                      ->check(CLI::IsMember({"idle", "active"}))
                      ->type_name("LOAD,...");
    command
        ->add_option("--seconds", options.secondsPerScenario,
                     "Seconds to measure each box count, load and mode (default 1.5)")
        ->check(CLI::Range(0.1, 86400.0))
        ->type_name("S");
    auto* commandEvery =
        command
            ->add_option("--command-every", options.commandEveryMs,
                         "Send each box a command every MS milliseconds on average, at random "
                         "moments; 0 sends none (default 50)")
            ->check(CLI::Range(0.0, 0.0) | CLI::Range(5.0, 60000.0))
            ->type_name("MS");
    auto* toggleEvery =
        command
            ->add_option("--toggle-every", options.toggleEveryMs,
                         "On the active bench, the moving input falls every MS milliseconds and "
                         "stays low for half of it (default 100)")
            ->check(CLI::Range(60, 60000))
            ->type_name("MS");
    auto* timings =
        command
            ->add_option("--timings", options.timings,
                         "Waits and pass order to measure, each in turn: original (the protocol's "
                         "waits, inputs read once per pass), spec (its waits, inputs first), lean "
                         "(only the waits the hardware needs) (default spec,lean)")
            ->delimiter(',')
            ->check(CLI::IsMember({"original", "spec", "lean"}))
            ->type_name("TIMING,...");
    auto* widths = command
                       ->add_option("--pulse-widths", options.pulseWidthsMs,
                                    "Sweep the active bench over these low phases of the moving "
                                    "input, each followed by 150 ms high, instead of "
                                    "--toggle-every; the summary names the shortest width counted "
                                    "at 99.9% or better")
                       ->delimiter(',')
                       ->check(CLI::Range(1, 10000))
                       ->type_name("MS,...");
    widths->excludes(toggleEvery);
    command
        ->add_flag("--real", options.real,
                   "Measure the attached IO boxes with the hardware setup of --config-dir "
                   "instead; sends no commands")
        ->excludes(boxes)
        ->excludes(loads)
        ->excludes(commandEvery)
        ->excludes(toggleEvery)
        ->excludes(timings)
        ->excludes(widths);
}

int RunBench(const BenchOptions& requested, const BenchHost& host) {
    BenchOptions options = requested;
    DropRepeats(options.boxCounts);
    DropRepeats(options.modes);
    DropRepeats(options.loads);
    DropRepeats(options.timings);
    DropRepeats(options.pulseWidthsMs);
    std::sort(options.pulseWidthsMs.begin(), options.pulseWidthsMs.end());
    InstallStopHandlers();
    const ScratchDirectory scratch;
    const std::vector<double> loadBefore = LoadAverage();
    const Json bareSleep = {{"plain", BareSleepCost(false)}, {"timely", BareSleepCost(true)}};
    const std::vector<Job> jobs = PlanJobs(options, host, scratch.Path());
    const bool progress = !host.json && isatty(STDERR_FILENO) == 1;
    Json scenarios = Json::array();
    bool interrupted = false;
    for (const Job& job : jobs) {
        if (progress) {
            std::cerr << "zentrix bench: " << Describe(job.plan) << "...\n";
        }
        const Json outcome = RunJob(job, host);
        for (const Json& result : outcome["results"]) {
            scenarios.push_back(result);
        }
        interrupted = outcome["interrupted"].get<bool>() || StopRequested();
        if (interrupted) {
            break;
        }
    }
    Json document;
    document["backend"] = options.real ? "real" : "simulator";
    document["seconds_per_scenario"] = options.secondsPerScenario;
    document["command_every_ms"] = options.real ? Json(nullptr) : Json(options.commandEveryMs);
    document["toggle"] = options.real ? Json(nullptr)
                                      : Json({{"port", kToggledPort},
                                              {"line", kToggledLine},
                                              {"every_ms", options.toggleEveryMs},
                                              {"low_ms", options.toggleEveryMs / 2}});
    document["machine"] = {{"cores", std::thread::hardware_concurrency()},
                           {"cpu", CpuModel()},
                           {"load_before", loadBefore},
                           {"load_after", LoadAverage()},
                           {"bare_2ms_sleep", bareSleep}};
    document["timings"] = options.real ? Json(nullptr) : Json(options.timings);
    document["pulse_widths_ms"] = options.pulseWidthsMs;
    document["interrupted"] = interrupted;
    document["scenarios"] = scenarios;
    document["sweep"] = SweepSummary(scenarios);
    if (host.json) {
        std::cout << document.dump(2) << std::endl;
    } else {
        PrintText(document);
    }
    return interrupted ? kInterruptedExitCode : 0;
}

}  // namespace zentrix::cli
