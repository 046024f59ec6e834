#include "BenchScenario.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

#include "CliError.h"
#include "StopSignal.h"

namespace zentrix::cli {

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

// Device type ids as HardwareSetup.xml stores them.
constexpr int kTopUnitStandard = 0;
constexpr int kTopUnitCorvane = 1;
constexpr int kPelletDispenser = 2;
constexpr int kLickometer = 3;
constexpr int kTtlPortTester = 4;
constexpr int kCustomHardware = 5;

// The box's connectors as a host knows them from the interface's documentation: the host sees
// none of the plug-in's headers.
constexpr int kTtlPortCount = 12;
constexpr int kSdiPortCount = 13;
constexpr int kLastDispenserPort = 3;
constexpr int kLastTesterPort = 7;
constexpr int kTopUnitInterfaces = 6;
constexpr int kTopUnitPositions = 4;

// Starts and stops fall this far into the high half of the moving inputs' cycle, so that no edge
// is under way as a count begins or ends.
constexpr std::int64_t kHighPhaseMarginMs = 10;

constexpr std::uint32_t kCommandSeed = 20261208;

struct MappedDevice {
    int port = 0;
    // Position on a top-unit interface; -1 for a device that takes the whole port.
    int position = -1;
    int typeId = 0;
    std::int32_t id = 0;
    std::string name;
};

std::int32_t DeviceId(int box, int port, int position) {
    return 1000 * box + 10 * port + std::max(position, 0);
}

std::vector<MappedDevice> DevicesOfBox(int box) {
    std::vector<MappedDevice> devices;
    const std::string prefix = "Box " + std::to_string(box) + " ";
    for (int port = 1; port <= kTtlPortCount; ++port) {
        const int type = port <= kLastDispenserPort ? kPelletDispenser
                         : port <= kLastTesterPort  ? kTtlPortTester
                                                    : kCustomHardware;
        devices.push_back(
            {port, -1, type, DeviceId(box, port, -1), prefix + "TTL " + std::to_string(port)});
    }
    for (int sdi = 1; sdi <= kSdiPortCount; ++sdi) {
        const int port = kTtlPortCount + sdi;
        const std::string name = prefix + "SDI " + std::to_string(sdi);
        if (sdi > kTopUnitInterfaces) {
            devices.push_back({port, -1, kLickometer, DeviceId(box, port, -1), name});
            continue;
        }
        for (int position = 1; position <= kTopUnitPositions; ++position) {
            devices.push_back(
                {port, position, (sdi + position) % 2 == 0 ? kTopUnitStandard : kTopUnitCorvane,
                 DeviceId(box, port, position), name + " position " + std::to_string(position)});
        }
    }
    return devices;
}

std::uint64_t SteadyUs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

// Reads what another part of the process appends to a file, one complete line at a time.
class FileTail {
public:
    explicit FileTail(fs::path path) : m_path(std::move(path)) {}

    std::vector<std::string> NewLines() {
        std::ifstream in(m_path, std::ios::binary);
        std::vector<std::string> lines;
        if (!in) {
            return lines;
        }
        in.seekg(static_cast<std::streamoff>(m_offset));
        std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        m_offset += chunk.size();
        m_partial += chunk;
        std::size_t begin = 0;
        for (std::size_t end = m_partial.find('\n'); end != std::string::npos;
             end = m_partial.find('\n', begin)) {
            lines.push_back(m_partial.substr(begin, end - begin));
            begin = end + 1;
        }
        m_partial.erase(0, begin);
        return lines;
    }

private:
    fs::path m_path;
    std::uint64_t m_offset = 0;
    std::string m_partial;
};

// A line the box drives, a line it reads, or an input's level as a register read returned it.
enum class LineKind { Output, Input, Read };

struct LineEvent {
    std::uint64_t simulatorMs = 0;
    std::uint64_t steadyUs = 0;
    int box = 0;
    int port = 0;
    int line = 0;
    LineKind kind = LineKind::Input;
    int level = 0;
};

LineKind ParseLineKind(const std::string& io) {
    if (io == "out") {
        return LineKind::Output;
    }
    if (io == "in") {
        return LineKind::Input;
    }
    if (io == "read") {
        return LineKind::Read;
    }
    throw CliError("the simulator's event log names an unknown kind of line \"" + io + "\"");
}

LineEvent ParseLineEvent(const std::string& text) {
    try {
        const auto event = nlohmann::json::parse(text);
        if (!event.contains("steady_us")) {
            throw CliError(
                "the simulator's event log has no steady clock (\"steady_us\"): the plug-in is "
                "older than this host");
        }
        return {event.at("t_ms").get<std::uint64_t>(),
                event.at("steady_us").get<std::uint64_t>(),
                event.at("box").get<int>(),
                event.at("port").get<int>(),
                event.at("line").get<int>(),
                ParseLineKind(event.at("io").get<std::string>()),
                event.at("level").get<int>()};
    } catch (const nlohmann::json::exception& error) {
        throw CliError("unreadable event log line \"" + text + "\": " + error.what());
    }
}

struct Period {
    std::uint32_t lane = 0;
    std::uint64_t endUs = 0;
    std::uint64_t wallUs = 0;
    std::uint64_t floorUs = 0;
    std::uint64_t cpuUs = 0;
    // Absent from the trace of a plug-in that does not count its reports.
    std::optional<std::uint64_t> reports;
};

Period ParsePeriod(const std::string& text) {
    std::istringstream in(text);
    Period period;
    if (!(in >> period.lane >> period.endUs >> period.wallUs >> period.floorUs >> period.cpuUs)) {
        throw CliError("unreadable period trace line \"" + text + "\"");
    }
    std::uint64_t reports = 0;
    if (in >> reports) {
        period.reports = reports;
    }
    return period;
}

template <typename T>
const T& AtPercentile(const std::vector<T>& sorted, double percent) {
    const auto rank =
        static_cast<std::size_t>(std::ceil(percent / 100.0 * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

double Rounded(double value) {
    return std::round(value * 10000.0) / 10000.0;
}

Json RatioOf(std::uint64_t wallUs, std::uint64_t floorUs) {
    return floorUs == 0 ? Json(nullptr)
                        : Json(Rounded(static_cast<double>(wallUs) / static_cast<double>(floorUs)));
}

Json PeriodFigure(const Period& period) {
    return {{"wall_us", period.wallUs},
            {"floor_us", period.floorUs},
            {"ratio", RatioOf(period.wallUs, period.floorUs)}};
}

template <typename T>
Json Distribution(std::vector<T> values, const char* suffix) {
    const std::string unit = suffix;
    if (values.empty()) {
        return {{"median" + unit, nullptr}, {"p99" + unit, nullptr}, {"max" + unit, nullptr}};
    }
    std::sort(values.begin(), values.end());
    return {{"median" + unit, AtPercentile(values, 50.0)},
            {"p99" + unit, AtPercentile(values, 99.0)},
            {"max" + unit, values.back()}};
}

Json PeriodFigures(std::vector<Period> periods, std::uint64_t samplingUs, int boxes) {
    std::map<std::uint32_t, bool> lanes;
    std::vector<double> ratios;
    std::vector<std::uint64_t> cpu;
    std::uint64_t cpuTotal = 0;
    for (const Period& period : periods) {
        lanes[period.lane] = true;
        if (period.floorUs > 0) {
            ratios.push_back(
                Rounded(static_cast<double>(period.wallUs) / static_cast<double>(period.floorUs)));
        }
        cpu.push_back(period.cpuUs);
        cpuTotal += period.cpuUs;
    }
    std::stable_sort(periods.begin(), periods.end(),
                     [](const Period& a, const Period& b) { return a.wallUs < b.wallUs; });
    Json figures;
    figures["count"] = periods.size();
    figures["threads"] = lanes.size();
    if (periods.empty()) {
        figures["median"] = nullptr;
        figures["p99"] = nullptr;
        figures["max"] = nullptr;
    } else {
        figures["median"] = PeriodFigure(AtPercentile(periods, 50.0));
        figures["p99"] = PeriodFigure(AtPercentile(periods, 99.0));
        figures["max"] = PeriodFigure(periods.back());
    }
    figures["ratio"] = Distribution(ratios, "");
    const double percent =
        samplingUs == 0 ? 0.0
                        : 100.0 * static_cast<double>(cpuTotal) / static_cast<double>(samplingUs);
    Json cpuFigures = Distribution(cpu, "_us");
    cpuFigures["percent_of_core"] = Rounded(percent);
    cpuFigures["percent_of_core_per_box"] = Rounded(boxes > 0 ? percent / boxes : percent);
    std::uint64_t reports = 0;
    bool counted = !periods.empty();
    for (const Period& period : periods) {
        counted = counted && period.reports.has_value();
        reports += period.reports.value_or(0);
    }
    const double seconds = static_cast<double>(samplingUs) / 1e6;
    const Json perBox =
        counted && seconds > 0.0
            ? Json(std::round(static_cast<double>(reports) / seconds / std::max(boxes, 1) * 10.0) /
                   10.0)
            : Json(nullptr);
    return {{"periods", figures},
            {"cpu_per_period", cpuFigures},
            {"reports_per_second_per_box", perBox}};
}

struct CatalogIds {
    std::int32_t outputHigh = 0;
    std::int32_t outputLow = 0;
    std::int32_t fallingCount = 0;
};

CatalogIds ResolveCatalogIds(Component& component) {
    CatalogIds ids;
    bool high = false;
    bool low = false;
    for (const CommandInfo& command : component.Commands(kCustomHardware)) {
        if (command.name == "Output 1 High") {
            ids.outputHigh = command.id;
            high = true;
        } else if (command.name == "Output 1 Low") {
            ids.outputLow = command.id;
            low = true;
        }
    }
    bool falling = false;
    for (const SignalInfo& signal : component.Signals(kCustomHardware)) {
        if (signal.name == "Input 1 H->L count") {
            ids.fallingCount = signal.id;
            falling = signal.valueType == eKavexIdtHiVtLongLong;
        }
    }
    if (!high || !low || !falling) {
        throw CliError(
            "the plug-in's custom hardware lacks \"Output 1 High\", \"Output 1 Low\" or an integer "
            "\"Input 1 H->L count\"");
    }
    return ids;
}

// Simulator time is the milliseconds of the steady clock since the bench was made, which happened
// inside CreateComponent; every logged change narrows down when exactly.
class SimulatorTime {
public:
    SimulatorTime(std::uint64_t createdAfterUs, std::uint64_t createdBeforeUs)
        : m_earliestStartMs(static_cast<std::int64_t>(createdAfterUs / 1000)),
          m_latestStartMs(static_cast<std::int64_t>(createdBeforeUs / 1000)) {}

    // A change is logged at its simulator time or later, never earlier.
    void Observe(const LineEvent& event) {
        const auto startMs = static_cast<std::int64_t>(event.steadyUs / 1000) -
                             static_cast<std::int64_t>(event.simulatorMs);
        m_latestStartMs = std::max(m_earliestStartMs, std::min(m_latestStartMs, startMs));
    }

    std::int64_t NowMs() const {
        return static_cast<std::int64_t>(SteadyUs() / 1000) -
               (m_earliestStartMs + m_latestStartMs) / 2;
    }

private:
    std::int64_t m_earliestStartMs;
    std::int64_t m_latestStartMs;
};

class ScenarioRunner {
public:
    ScenarioRunner(const ScenarioPlan& plan, Component& component, std::vector<int> boxes,
                   std::optional<CatalogIds> ids, SimulatorTime simulatorTime)
        : m_plan(plan),
          m_component(component),
          m_boxes(std::move(boxes)),
          m_ids(ids),
          m_simulatorTime(simulatorTime),
          m_trace(plan.periodTrace),
          m_events(plan.eventLog) {}

    Json RunMode(const std::string& mode) {
        setenv("ZENTRIX_SAMPLING", mode.c_str(), 1);
        ResetModeState();
        const bool simulated = !m_plan.eventLog.empty();
        const bool commands = simulated && m_plan.commandEveryMs > 0.0;
        Absorb();

        WaitForHighPhase();
        const std::uint64_t startUs = SteadyUs();
        m_sessionStartUs = startUs;
        // Only this mode's session counts in its windows.
        m_component.Events(m_pluginEvents);
        SamplerSession session(m_component);
        // Starting takes longer the more boxes there are, and inputs move meanwhile; edges count
        // from a read in a high phase after the start. A fall is counted only while its low phase
        // lasts, so that read splits the falls cleanly into before and after.
        std::map<int, std::int64_t> countedBefore;
        if (simulated) {
            WaitForHighPhase();
            countedBefore = ReadCounts();
        }
        const std::int64_t startMs = m_simulatorTime.NowMs();
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(m_plan.seconds));
        if (commands) {
            ScheduleFirstCommands();
        }
        while (!StopRequested() && std::chrono::steady_clock::now() < deadline) {
            auto tick = deadline;
            if (commands) {
                Absorb();
                tick = std::min(tick, SendDueCommands());
            }
            SleepUntil(tick);
        }
        if (!StopRequested()) {
            WaitForHighPhase();
        }
        const std::int64_t stopMs = m_simulatorTime.NowMs();
        const std::uint64_t stopUs = SteadyUs();
        session.Stop();
        m_component.Events(m_pluginEvents);
        m_answersUntilUs = stopUs;
        // The read after the one that opened the window reports everything counted since.
        const std::map<int, std::int64_t> counted =
            simulated ? ReadCounts() : std::map<int, std::int64_t>{};
        Absorb();

        std::vector<Period> periods;
        for (const std::string& line : m_trace.NewLines()) {
            periods.push_back(ParsePeriod(line));
        }
        Json result;
        result["boxes"] = m_boxes.size();
        result["load"] = m_plan.load;
        result["mode"] = mode;
        result["timing"] = m_plan.timing.empty() ? Json(nullptr) : Json(m_plan.timing);
        result["toggle_low_ms"] =
            simulated && m_plan.toggleEveryMs > 0
                ? Json(m_plan.toggleLowMs > 0 ? m_plan.toggleLowMs : m_plan.toggleEveryMs / 2)
                : Json(nullptr);
        result["seconds"] = Rounded(static_cast<double>(stopUs - startUs) / 1e6);
        result.update(PeriodFigures(periods, stopUs - startUs, static_cast<int>(m_boxes.size())));
        result["latency"] = commands ? LatencyFigures() : Json(nullptr);
        result["edges"] =
            simulated ? EdgeFigures(countedBefore, counted, startMs, stopMs) : Json(nullptr);
        result["input_to_read"] = simulated && m_plan.toggleEveryMs > 0
                                      ? InputToReadFigures(startMs, stopMs)
                                      : Json(nullptr);
        result["event_windows"] = EventWindowFigures();
        return result;
    }

private:
    struct PendingCommand {
        std::uint64_t sentUs = 0;
        int level = 0;
    };

    void ResetModeState() {
        m_pending.clear();
        m_nextLevel.clear();
        m_latenciesUs.clear();
        m_fallsMs.clear();
        m_readFallsMs.clear();
        m_sessionReadFalls.clear();
        m_sessionStartUs = UINT64_MAX;
        m_nextCommandAt.clear();
        m_random.seed(kCommandSeed);
        m_sent = 0;
        m_answersUntilUs = UINT64_MAX;
    }

    // Takes in the line changes logged since the last call: answers to pending commands and the
    // moving inputs' falls.
    void Absorb() {
        if (m_plan.eventLog.empty()) {
            return;
        }
        for (const std::string& line : m_events.NewLines()) {
            const LineEvent event = ParseLineEvent(line);
            m_simulatorTime.Observe(event);
            if (event.kind != LineKind::Output && event.port == kToggledPort &&
                event.line == kToggledLine && event.level == 0) {
                (event.kind == LineKind::Input ? m_fallsMs : m_readFallsMs)[event.box].push_back(
                    event.simulatorMs);
                if (event.kind == LineKind::Read && event.steadyUs >= m_sessionStartUs) {
                    ++m_sessionReadFalls[event.box];
                }
            }
            if (event.kind == LineKind::Output && event.port == kCommandedPort &&
                event.line == kCommandedLine) {
                const auto pending = m_pending.find(event.box);
                if (pending != m_pending.end() && pending->second.level == event.level &&
                    event.steadyUs >= pending->second.sentUs &&
                    event.steadyUs <= m_answersUntilUs) {
                    m_latenciesUs.push_back(event.steadyUs - pending->second.sentUs);
                    m_pending.erase(pending);
                }
            }
        }
    }

    // Every box gets a command every commandEveryMs on average, whatever the number of boxes, at
    // moments drawn at random: a steady pace would meet the box's periods, which the moving input
    // paces too, at one phase only, and measure that phase's latency rather than the average.
    std::chrono::steady_clock::duration CommandGap() {
        std::uniform_real_distribution<double> spread(0.5, 1.5);
        return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double, std::milli>(m_plan.commandEveryMs * spread(m_random)));
    }

    void ScheduleFirstCommands() {
        const auto now = std::chrono::steady_clock::now();
        std::uniform_real_distribution<double> phase(0.0, m_plan.commandEveryMs);
        for (const int box : m_boxes) {
            m_nextCommandAt[box] =
                now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                          std::chrono::duration<double, std::milli>(phase(m_random)));
        }
    }

    // Sends what is due and returns when the next command is. A box whose last command has not
    // shown on its line yet lets this one go, so that no two commands to one line meet in one
    // output pass and each change answers one command.
    std::chrono::steady_clock::time_point SendDueCommands() {
        auto next = std::chrono::steady_clock::time_point::max();
        for (auto& [box, at] : m_nextCommandAt) {
            const auto now = std::chrono::steady_clock::now();
            if (at <= now) {
                if (m_pending.count(box) == 0) {
                    SendCommand(box);
                }
                at = std::max(at + CommandGap(), now);
            }
            next = std::min(next, at);
        }
        return next;
    }

    void SendCommand(int box) {
        const int level = m_nextLevel.count(box) > 0 ? m_nextLevel[box] : 1;
        const std::int32_t device = DeviceId(box, kCommandedPort, -1);
        const PendingCommand command{SteadyUs(), level};
        ThrowIfFailed(
            m_component.SendCommand(device, level == 1 ? m_ids->outputHigh : m_ids->outputLow),
            "SendCommand(" + std::to_string(device) + ")");
        m_pending[box] = command;
        m_nextLevel[box] = 1 - level;
        ++m_sent;
    }

    // Sampling starts and stops early in the high half of the moving inputs' cycle: the low half
    // before is over and the passes have had it to sample, and the next fall is far off.
    void WaitForHighPhase() {
        if (m_plan.toggleEveryMs <= 0) {
            return;
        }
        const std::int64_t every = m_plan.toggleEveryMs;
        const std::int64_t low = m_plan.toggleLowMs > 0 ? m_plan.toggleLowMs : every / 2;
        const std::int64_t target = low + kHighPhaseMarginMs;
        const std::int64_t phase = m_simulatorTime.NowMs() % every;
        const std::int64_t waitMs = phase <= target ? target - phase : every - phase + target;
        SleepUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs));
    }

    std::map<int, std::int64_t> ReadCounts() {
        std::map<int, std::int64_t> counts;
        for (const int box : m_boxes) {
            const std::int32_t device = DeviceId(box, kToggledPort, -1);
            const tagTECKavexIdtHiValue value =
                m_component.ReceiveSignal(device, m_ids->fallingCount);
            if (value.m_eType != eKavexIdtHiVtLongLong) {
                throw CliError("ReceiveSignal(" + std::to_string(device) +
                               ") gave no integer count");
            }
            counts[box] = value.m_lValueLongLong;
        }
        return counts;
    }

    Json LatencyFigures() const {
        Json figures;
        figures["sent"] = m_sent;
        figures["answered"] = m_latenciesUs.size();
        figures.update(Distribution(m_latenciesUs, "_us"));
        return figures;
    }

    // Falls made and shown by reads compare between two reads of the counts, in high phases;
    // what the host counted compares with what the reads showed over the whole session instead,
    // since a read in a pass is published only at the pass's end, which may fall past either read.
    Json EdgeFigures(const std::map<int, std::int64_t>& countedBefore,
                     const std::map<int, std::int64_t>& counted, std::int64_t startMs,
                     std::int64_t stopMs) const {
        Json perBox = Json::array();
        std::int64_t countedTotal = 0;
        std::int64_t producedTotal = 0;
        std::int64_t readTotal = 0;
        std::int64_t sessionCountedTotal = 0;
        std::int64_t sessionReadTotal = 0;
        const auto valueOf = [](const std::map<int, std::int64_t>& values, int box) {
            const auto found = values.find(box);
            return found == values.end() ? std::int64_t{0} : found->second;
        };
        const auto fallsOf = [&](const std::map<int, std::vector<std::uint64_t>>& falls, int box) {
            const auto found = falls.find(box);
            if (found == falls.end()) {
                return std::int64_t{0};
            }
            return static_cast<std::int64_t>(
                std::count_if(found->second.begin(), found->second.end(), [&](std::uint64_t ms) {
                    const auto at = static_cast<std::int64_t>(ms);
                    return at > startMs && at <= stopMs;
                }));
        };
        for (const int box : m_boxes) {
            const std::int64_t produced = fallsOf(m_fallsMs, box);
            const std::int64_t read = fallsOf(m_readFallsMs, box);
            const std::int64_t count = valueOf(counted, box);
            const std::int64_t sessionCounted = valueOf(countedBefore, box) + count;
            const std::int64_t sessionRead = valueOf(m_sessionReadFalls, box);
            perBox.push_back({{"box", box},
                              {"counted", count},
                              {"read", read},
                              {"produced", produced},
                              {"session_counted", sessionCounted},
                              {"session_read", sessionRead}});
            countedTotal += count;
            readTotal += read;
            producedTotal += produced;
            sessionCountedTotal += sessionCounted;
            sessionReadTotal += sessionRead;
        }
        // "read" is what the box's register reads showed of the falls: a fall whose whole low
        // phase lies between two reads of its register is lost to any sampler.
        return {{"counted", countedTotal},          {"read", readTotal},
                {"produced", producedTotal},        {"session_counted", sessionCountedTotal},
                {"session_read", sessionReadTotal}, {"per_box", perBox}};
    }

    // How precisely the events of the session say when things happened: the windows of the input
    // edges (those the first read did not already show) and of the commands' writes.
    Json EventWindowFigures() const {
        std::vector<std::int64_t> edges;
        std::vector<std::int64_t> commands;
        for (const tagZentrixEvent& event : m_pluginEvents) {
            const std::int64_t window = event.m_nTimeUs - event.m_nEarliestUs;
            if ((event.m_eKind == eZentrixEvRise || event.m_eKind == eZentrixEvFall) &&
                event.m_nEarliestUs != 0) {
                edges.push_back(window);
            } else if (event.m_eKind == eZentrixEvCommand || event.m_eKind == eZentrixEvPulseEnd) {
                commands.push_back(window);
            }
        }
        Json figures = {{"edges", edges.size()}, {"commands", commands.size()}};
        figures.update(Distribution(edges, "_edge_us"));
        figures.update(Distribution(commands, "_command_us"));
        return figures;
    }

    // For each fall the bench made, the wait until the first read of its register that showed
    // the line low; a fall with no such read before the next one was missed by every read.
    Json InputToReadFigures(std::int64_t startMs, std::int64_t stopMs) const {
        std::vector<std::uint64_t> waitsMs;
        std::uint64_t missed = 0;
        for (const auto& [box, falls] : m_fallsMs) {
            const auto found = m_readFallsMs.find(box);
            std::vector<std::uint64_t> reads;
            if (found != m_readFallsMs.end()) {
                reads = found->second;
                std::sort(reads.begin(), reads.end());
            }
            for (std::size_t i = 0; i < falls.size(); ++i) {
                const auto at = static_cast<std::int64_t>(falls[i]);
                if (at <= startMs || at > stopMs) {
                    continue;
                }
                const std::uint64_t next = i + 1 < falls.size() ? falls[i + 1] : UINT64_MAX;
                const auto read = std::lower_bound(reads.begin(), reads.end(), falls[i]);
                if (read == reads.end() || *read >= next) {
                    ++missed;
                } else {
                    waitsMs.push_back(*read - falls[i]);
                }
            }
        }
        Json figures = Distribution(waitsMs, "_ms");
        figures["seen"] = waitsMs.size();
        figures["missed"] = missed;
        return figures;
    }

    const ScenarioPlan& m_plan;
    Component& m_component;
    std::vector<int> m_boxes;
    std::optional<CatalogIds> m_ids;
    SimulatorTime m_simulatorTime;
    FileTail m_trace;
    FileTail m_events;
    std::map<int, PendingCommand> m_pending;
    std::map<int, int> m_nextLevel;
    std::map<int, std::vector<std::uint64_t>> m_fallsMs;
    std::map<int, std::vector<std::uint64_t>> m_readFallsMs;
    std::map<int, std::int64_t> m_sessionReadFalls;
    std::uint64_t m_sessionStartUs = UINT64_MAX;
    std::map<int, std::chrono::steady_clock::time_point> m_nextCommandAt;
    // Seeded alike in every run, so that runs differ only by what they measure.
    std::mt19937 m_random{kCommandSeed};
    std::vector<std::uint64_t> m_latenciesUs;
    std::vector<tagZentrixEvent> m_pluginEvents;
    std::uint64_t m_sent = 0;
    std::uint64_t m_answersUntilUs = UINT64_MAX;
};

void LoadSetup(Component& component, const ScenarioPlan& plan) {
    const HRESULT result = component.Load(plan.configDirectory);
    if (!Failed(result)) {
        return;
    }
    const fs::path file = plan.configDirectory / "HardwareSetup.xml";
    std::error_code error;
    if (plan.eventLog.empty() && !fs::exists(file, error)) {
        return;
    }
    throw CliError("cannot load " + file.string() + ": Load failed with " + HresultText(result));
}

}  // namespace

Json SimulatedBenchFile(int boxes, int toggleEveryMs, int toggleLowMs, const fs::path& eventLog) {
    Json controllers = Json::array();
    for (int box = 0; box < boxes; ++box) {
        Json sdi = Json::object();
        for (int port = 1; port <= kSdiPortCount; ++port) {
            sdi[std::to_string(port)] =
                port <= kTopUnitInterfaces ? "top-unit-interface" : "lickometer";
        }
        Json ttl = Json::object();
        for (int port = 1; port <= kLastDispenserPort; ++port) {
            ttl[std::to_string(port)] = "pellet-dispenser";
        }
        Json inputs = Json::array();
        if (toggleEveryMs > 0) {
            inputs.push_back({{"port", kToggledPort},
                              {"line", kToggledLine},
                              {"every_ms", toggleEveryMs},
                              {"low_ms", toggleLowMs > 0 ? toggleLowMs : toggleEveryMs / 2}});
        }
        controllers.push_back({{"box_id", box}, {"sdi", sdi}, {"ttl", ttl}, {"inputs", inputs}});
    }
    return {{"event_log", eventLog.string()}, {"controllers", controllers}};
}

std::string FullyMappedSetup(int boxes) {
    std::ostringstream xml;
    xml << "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\n"
           "<!DOCTYPE boost_serialization>\n"
           "<boost_serialization signature=\"serialization::archive\" version=\"18\">\n"
           "<HardwareSetup class_id=\"0\" tracking_level=\"0\" version=\"0\">\n"
           "\t<m_vecConfigDataIOBox class_id=\"1\" tracking_level=\"0\" version=\"0\">\n"
        << "\t\t<count>" << boxes << "</count>\n"
        << "\t\t<item_version>0</item_version>\n";
    // The archive describes each class at its first object only.
    for (int box = 0; box < boxes; ++box) {
        const bool first = box == 0;
        xml << (first ? "\t\t<item class_id=\"2\" tracking_level=\"0\" version=\"0\">\n"
                      : "\t\t<item>\n")
            << "\t\t\t<m_iIOBoxId>" << box << "</m_iIOBoxId>\n"
            << "\t\t\t<m_eIOBoxType>0</m_eIOBoxType>\n"
            << (first ? "\t\t\t<m_vecConfigDataPortDevice class_id=\"3\" tracking_level=\"0\" "
                        "version=\"0\">\n"
                      : "\t\t\t<m_vecConfigDataPortDevice>\n");
        const auto devices = DevicesOfBox(box);
        xml << "\t\t\t\t<count>" << devices.size() << "</count>\n"
            << "\t\t\t\t<item_version>0</item_version>\n";
        for (std::size_t i = 0; i < devices.size(); ++i) {
            const MappedDevice& device = devices[i];
            xml << (first && i == 0 ? "\t\t\t\t<item class_id=\"4\" tracking_level=\"0\" "
                                      "version=\"0\">\n"
                                    : "\t\t\t\t<item>\n")
                << "\t\t\t\t\t<m_iPortId>" << device.port << "</m_iPortId>\n"
                << "\t\t\t\t\t<m_iConnectorPortId>" << device.position << "</m_iConnectorPortId>\n"
                << "\t\t\t\t\t<m_iDeviceTypeId>" << device.typeId << "</m_iDeviceTypeId>\n"
                << "\t\t\t\t\t<m_iDeviceId>" << device.id << "</m_iDeviceId>\n"
                << "\t\t\t\t\t<m_strDeviceName>" << device.name << "</m_strDeviceName>\n"
                << "\t\t\t\t</item>\n";
        }
        xml << "\t\t\t</m_vecConfigDataPortDevice>\n"
            << "\t\t</item>\n";
    }
    xml << "\t</m_vecConfigDataIOBox>\n"
           "</HardwareSetup>\n"
           "</boost_serialization>\n";
    return xml.str();
}

std::size_t FullyMappedDeviceCount(int boxes) {
    return static_cast<std::size_t>(boxes) * DevicesOfBox(0).size();
}

Json RunScenario(const ScenarioPlan& plan, const PluginLibrary& library, const GUID& classId) {
    const std::uint64_t createdAfterUs = SteadyUs();
    Component component = library.CreateComponent(classId);
    component.EnableEvents();
    const SimulatorTime simulatorTime(createdAfterUs, SteadyUs());
    LoadSetup(component, plan);
    std::vector<int> connected;
    for (const IoBoxInfo& box : component.IoBoxes()) {
        if (box.id >= 0 && component.IsIoBoxConnected(box.id) == S_OK) {
            connected.push_back(box.id);
        }
    }
    std::optional<CatalogIds> ids;
    if (plan.eventLog.empty()) {
        if (connected.empty()) {
            throw CliError(
                "--real found no IO box attached (the plug-in sees none; zentrix check tells "
                "why); without --real the bench runs on the simulator");
        }
    } else {
        if (connected.size() != static_cast<std::size_t>(plan.boxes)) {
            throw CliError("the simulated bench shows " + std::to_string(connected.size()) +
                           " connected boxes instead of " + std::to_string(plan.boxes));
        }
        const std::size_t devices = component.Devices().size();
        if (devices != FullyMappedDeviceCount(plan.boxes)) {
            throw CliError("the plug-in loaded " + std::to_string(devices) + " devices of the " +
                           std::to_string(FullyMappedDeviceCount(plan.boxes)) +
                           " in the bench's hardware setup");
        }
        ids = ResolveCatalogIds(component);
    }
    ScenarioRunner runner(plan, component, connected, ids, simulatorTime);
    Json results = Json::array();
    for (const std::string& mode : plan.modes) {
        if (StopRequested()) {
            break;
        }
        results.push_back(runner.RunMode(mode));
    }
    return results;
}

}  // namespace zentrix::cli
