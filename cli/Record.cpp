#include "Record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <tuple>
#include <utility>

#include "BoxHealth.h"
#include "CliError.h"
#include "EventKinds.h"
#include "ExitStatus.h"
#include "Paths.h"
#include "StopSignal.h"
#include "Values.h"
#include "platform/AtomicFile.h"

namespace zentrix::cli {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Short enough that no box's bounded buffer fills in between, and each drain is written at once.
constexpr Clock::duration kDrainPeriod = std::chrono::milliseconds(50);
constexpr Clock::duration kSyncPeriod = std::chrono::seconds(1);
// Leaves room in a 255-byte file name for the date, the time and a clash number.
constexpr std::size_t kMaxSubjectBytes = 200;
constexpr int kMaxFolderNumber = 9999;
constexpr std::int64_t kMicrosecondsPerSecond = 1000000;
constexpr const char* kEventsFileName = "events.csv";
constexpr const char* kTotalsFileName = "totals.csv";
constexpr const char* kSessionFileName = "session.json";
constexpr mode_t kNewFileMode = 0666;

// Seconds with six decimals from whole microseconds, exact where a double would round.
std::string SecondsText(std::int64_t microseconds) {
    const bool negative = microseconds < 0;
    const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(microseconds)
                                             : static_cast<std::uint64_t>(microseconds);
    constexpr std::uint64_t kPerSecond = kMicrosecondsPerSecond;
    char text[48];
    std::snprintf(text, sizeof text, "%s%" PRIu64 ".%06" PRIu64, negative ? "-" : "",
                  magnitude / kPerSecond, magnitude % kPerSecond);
    return text;
}

struct SplitTime {
    std::tm parts{};
    std::int64_t microseconds = 0;
};

SplitTime Split(std::int64_t utcUs, bool local) {
    std::int64_t seconds = utcUs / kMicrosecondsPerSecond;
    SplitTime split;
    split.microseconds = utcUs % kMicrosecondsPerSecond;
    if (split.microseconds < 0) {
        split.microseconds += kMicrosecondsPerSecond;
        --seconds;
    }
    const auto whole = static_cast<std::time_t>(seconds);
    if (local) {
        localtime_r(&whole, &split.parts);
    } else {
        gmtime_r(&whole, &split.parts);
    }
    return split;
}

std::string FormatTime(const std::tm& parts, const char* format) {
    char text[64];
    const std::size_t length = std::strftime(text, sizeof text, format, &parts);
    return std::string(text, length);
}

// ISO 8601 in UTC with microseconds: 2025-03-14T09:26:53.589793Z.
std::string UtcText(std::int64_t utcUs) {
    const SplitTime split = Split(utcUs, false);
    char fraction[16];
    std::snprintf(fraction, sizeof fraction, ".%06" PRId64 "Z", split.microseconds);
    return FormatTime(split.parts, "%Y-%m-%dT%H:%M:%S") + fraction;
}

// ISO 8601 in local time with the zone's offset: 2025-03-14T10:26:53.589793+01:00.
std::string LocalText(std::int64_t utcUs) {
    const SplitTime split = Split(utcUs, true);
    char fraction[16];
    std::snprintf(fraction, sizeof fraction, ".%06" PRId64, split.microseconds);
    std::string offset = FormatTime(split.parts, "%z");
    if (offset.size() == 5) {
        offset.insert(3, ":");
    }
    return FormatTime(split.parts, "%Y-%m-%dT%H:%M:%S") + fraction + offset;
}

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return "";
    }
    return name;
}

// What ZENTRIX_IOWARRIOR asks the plug-in for, in words; the plug-in reads it as it is created.
std::string BackendName(const std::string& setting) {
    if (setting.empty() || setting == "kernel" || setting.starts_with("kernel:")) {
        return "kernel driver";
    }
    if (setting == "sim" || setting.starts_with("sim:")) {
        return "simulator";
    }
    if (setting == "none") {
        return "none";
    }
    return setting;
}

// Each mkdir is the check that the name is free, so two recorders never share a folder.
fs::path CreateSessionFolder(const fs::path& outDirectory, const std::string& subject) {
    std::tm parts{};
    const std::time_t now = std::time(nullptr);
    localtime_r(&now, &parts);
    const std::string base = subject + "_" + FormatTime(parts, "%Y-%m-%d_%H-%M-%S");
    for (int number = 1; number <= kMaxFolderNumber; ++number) {
        fs::path candidate =
            outDirectory / (number == 1 ? base : base + "_" + std::to_string(number));
        if (::mkdir(candidate.c_str(), 0777) == 0) {
            return candidate;
        }
        const int error = errno;
        if (error != EEXIST) {
            throw CliError("cannot create folder " + candidate.string() + ": " +
                           std::strerror(error));
        }
    }
    throw CliError("cannot create folder " + (outDirectory / base).string() + ": it and " +
                   std::to_string(kMaxFolderNumber - 1) + " numbered ones exist");
}

// A file that is only ever appended to in whole writes, so a killed recorder leaves whole lines.
class AppendFile {
public:
    explicit AppendFile(fs::path path) : m_path(std::move(path)) {
        m_descriptor =
            ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
        if (m_descriptor < 0) {
            const int error = errno;
            throw CliError("cannot create " + m_path.string() + ": " + std::strerror(error));
        }
    }
    ~AppendFile() {
        if (m_descriptor >= 0) {
            ::close(m_descriptor);
        }
    }
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    void Append(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t written = ::write(m_descriptor, bytes.data(), bytes.size());
            if (written < 0) {
                const int error = errno;
                if (error == EINTR) {
                    continue;
                }
                Fail(error);
            }
            bytes.remove_prefix(static_cast<std::size_t>(written));
        }
    }

    void Sync() {
        if (::fdatasync(m_descriptor) != 0 && errno != EINVAL) {
            Fail(errno);
        }
    }

    void Close() {
        if (::fsync(m_descriptor) != 0 && errno != EINVAL) {
            Fail(errno);
        }
        const int descriptor = std::exchange(m_descriptor, -1);
        if (::close(descriptor) != 0 && errno != EINTR) {
            Fail(errno);
        }
    }

private:
    [[noreturn]] void Fail(int error) const {
        throw CliError("writing " + m_path.string() + " failed: " + std::strerror(error));
    }

    fs::path m_path;
    int m_descriptor = -1;
};

void WriteWholeFile(const fs::path& path, const std::string& bytes) {
    std::error_code error;
    if (!WriteFileAtomically(path, bytes, kNewFileMode, error)) {
        throw CliError("writing " + path.string() + " failed: " + error.message());
    }
}

std::string ReadWholeFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    if (!in || !(bytes << in.rdbuf()) || in.bad()) {
        throw CliError("cannot read " + path.string());
    }
    return bytes.str();
}

// The names the events' ids stand for, from the loaded setup.
class EventNames {
public:
    explicit EventNames(HostCatalog& catalog) {
        for (const DeviceInfo& device : catalog.Devices()) {
            m_devices[device.id] = device.name;
            for (const SignalInfo& signal : catalog.Signals(device.typeId)) {
                m_signals[{device.id, signal.id}] = signal.name;
            }
            for (const CommandInfo& command : catalog.Commands(device.typeId)) {
                m_commands[{device.id, command.id}] = command.name;
            }
        }
    }

    std::string Device(std::int32_t deviceId) const {
        if (deviceId == -1) {
            return "";
        }
        const auto found = m_devices.find(deviceId);
        return found != m_devices.end() ? found->second : std::to_string(deviceId);
    }

    std::string Item(const tagZentrixEvent& event) const {
        if (event.m_iSignalId != -1) {
            return Lookup(m_signals, event.m_iDeviceId, event.m_iSignalId);
        }
        if (event.m_iCommandId != -1) {
            return Lookup(m_commands, event.m_iDeviceId, event.m_iCommandId);
        }
        return "";
    }

private:
    using Names = std::map<std::pair<std::int32_t, std::int32_t>, std::string>;

    static std::string Lookup(const Names& names, std::int32_t deviceId, std::int32_t id) {
        const auto found = names.find({deviceId, id});
        return found != names.end() ? found->second : std::to_string(id);
    }

    std::map<std::int32_t, std::string> m_devices;
    Names m_signals;
    Names m_commands;
};

std::string ChangeText(const tagTECKavexIdtHiValue& change) {
    const std::string text = FormatValueField(change);
    return text.starts_with("-") ? text : "+" + text;
}

std::string ValueText(const tagZentrixEvent& event) {
    switch (event.m_eKind) {
        case eZentrixEvBoxState:
        case eZentrixEvRise:
        case eZentrixEvFall:
        case eZentrixEvCommand:
        case eZentrixEvPulseEnd:
            return event.m_iLevel == -1 ? "" : std::to_string(event.m_iLevel);
        case eZentrixEvDataChange: {
            std::string total = FormatValueField(event.m_value);
            if (event.m_change.m_eType == eKavexIdtHiVtUndefined) {
                return total;
            }
            return total + " (" + ChangeText(event.m_change) + ")";
        }
        case eZentrixEvDropped:
            return std::to_string(event.m_nCount);
        case eZentrixEvSamplingStarted:
        case eZentrixEvSamplingStopped:
        case eZentrixEvBoxLost:
            break;
    }
    return "";
}

struct Repeat {
    const DeviceInfo* device = nullptr;
    const CommandInfo* command = nullptr;
    double everySeconds = 0.0;
    Clock::duration every{};
    std::int64_t sent = 0;
    std::int64_t failed = 0;

    Clock::time_point Due(Clock::time_point start) const { return start + sent * every; }
};

// A row of totals.csv: the ids the events carry, in the order the file lists them.
using TotalKey = std::tuple<std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t>;

class Recorder {
public:
    Recorder(HostContext& host, const RecordOptions& options, const BoxHealth& health)
        : m_host(host), m_options(options), m_health(health), m_names(host.catalog) {
        for (const RepeatedCommand& repeated : options.repeatedCommands) {
            Repeat repeat;
            repeat.device = &m_host.catalog.FindDevice(repeated.device);
            repeat.command = &m_host.catalog.FindCommand(*repeat.device, repeated.command);
            repeat.everySeconds = repeated.everySeconds;
            repeat.every = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(repeated.everySeconds));
            m_repeats.push_back(repeat);
        }
    }

    // Before the sampler starts: the folder, the setup's copy and the events' header.
    void Begin() {
        std::error_code error;
        const fs::path setup = m_host.configDirectory / kHardwareSetupFileName;
        std::optional<std::string> setupBytes;
        if (fs::is_regular_file(setup, error)) {
            setupBytes = ReadWholeFile(setup);
        }
        const fs::path out = fs::absolute(m_options.outDirectory, error);
        m_folder = CreateSessionFolder(error ? m_options.outDirectory : out.lexically_normal(),
                                       m_options.subject);
        if (setupBytes) {
            AppendFile copy(m_folder / kHardwareSetupFileName);
            copy.Append(*setupBytes);
            copy.Close();
            m_setupCopied = true;
        }
        m_events.emplace(m_folder / kEventsFileName);
        m_events->Append("utc,t_s,window_s,box,device,item,kind,value\n");
    }

    // Once the sampler runs, so that its time base is the session's start.
    void Started() {
        m_timeBase = m_host.component.TimeBase();
        if (m_timeBase.m_bStarted == 0) {
            throw CliError("GetTimeBase gave no start of sampling");
        }
        WriteSession();
        if (m_host.json) {
            PrintJsonLine({{"folder", m_folder.string()}});
        } else {
            std::cout << m_folder.string() << std::endl;
        }
    }

    void Run() {
        const auto start = Clock::now();
        std::optional<Clock::time_point> end;
        if (m_options.durationSeconds) {
            end = start + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(*m_options.durationSeconds));
        }
        std::int64_t drains = 0;
        while (true) {
            const auto drainDue = start + drains * kDrainPeriod;
            auto due = drainDue;
            for (const Repeat& repeat : m_repeats) {
                due = std::min(due, repeat.Due(start));
            }
            if (end && due > *end) {
                SleepUntil(*end);
                break;
            }
            if (!SleepUntil(due)) {
                break;
            }
            const auto now = Clock::now();
            // Commands keep a fixed schedule from the start, so a late one never delays the next.
            for (Repeat& repeat : m_repeats) {
                while (repeat.Due(start) <= now && (!end || repeat.Due(start) <= *end)) {
                    Send(repeat, start);
                }
            }
            if (drainDue <= now) {
                Drain();
                drains = std::max<std::int64_t>(drains + 1, (now - start) / kDrainPeriod + 1);
            }
        }
        m_endedBy = StopRequested() ? "signal" : "duration";
    }

    // After the sampler stopped: its last events, the totals and the session's end.
    int Finish() {
        Drain();
        m_events->Close();
        m_end = m_stoppedUs.value_or(m_host.component.Now());
        WriteTotals();
        WriteSession();
        std::int64_t sent = 0;
        std::int64_t failed = 0;
        for (const Repeat& repeat : m_repeats) {
            sent += repeat.sent;
            failed += repeat.failed;
        }
        if (failed > 0) {
            std::cerr << "zentrix: " << failed << " of " << sent << " commands failed" << std::endl;
        }
        return m_anyLost ? kExitBoxMissing : (failed > 0 ? kExitError : kExitDone);
    }

private:
    void Send(Repeat& repeat, Clock::time_point start) {
        const HRESULT result = m_host.component.SendCommand(repeat.device->id, repeat.command->id);
        ++repeat.sent;
        if (Failed(result)) {
            ++repeat.failed;
            const auto elapsed = Clock::now() - start;
            const auto elapsedUs =
                std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count();
            std::cerr << "zentrix: SendCommand(\"" << repeat.device->name << "\", \""
                      << repeat.command->name << "\") at " << SecondsText(elapsedUs)
                      << " s failed with " << HresultText(result) << std::endl;
        }
    }

    void Drain() {
        m_host.component.Events(m_batch);
        if (m_batch.empty()) {
            return;
        }
        std::string rows;
        for (const tagZentrixEvent& event : m_batch) {
            AppendRow(rows, event);
            Note(event);
        }
        m_events->Append(rows);
        // Once a second to the disk, so that a power cut loses no more than that.
        const auto now = Clock::now();
        if (now - m_lastSync >= kSyncPeriod) {
            m_events->Sync();
            m_lastSync = now;
        }
    }

    void AppendRow(std::string& rows, const tagZentrixEvent& event) const {
        const std::int64_t sinceStart = event.m_nTimeUs - m_timeBase.m_nMonotonicUs;
        rows += UtcText(m_timeBase.m_nUtcUs + sinceStart);
        rows += ',';
        rows += SecondsText(sinceStart);
        rows += ',';
        if (event.m_nEarliestUs != 0) {
            rows += SecondsText(event.m_nTimeUs - event.m_nEarliestUs);
        }
        rows += ',';
        if (!IsSessionKind(event.m_eKind)) {
            rows += std::to_string(event.m_iIODeviceId);
        }
        rows += ',';
        rows += CsvField(m_names.Device(event.m_iDeviceId));
        rows += ',';
        rows += CsvField(m_names.Item(event));
        rows += ',';
        rows += EventKindName(event.m_eKind);
        rows += ',';
        rows += CsvField(ValueText(event));
        rows += '\n';
    }

    void Note(const tagZentrixEvent& event) {
        ++m_eventCount;
        ++m_kindTotals[event.m_eKind];
        const TotalKey key{IsSessionKind(event.m_eKind) ? -1 : event.m_iIODeviceId,
                           event.m_iDeviceId, event.m_iSignalId, event.m_iCommandId, event.m_eKind};
        ++m_totals[key];
        if (event.m_iSignalId != -1) {
            // A counting signal's value after its last event is its total for the session.
            m_lastValues[key] = event.m_value;
        }
        const std::int64_t sinceStart = event.m_nTimeUs - m_timeBase.m_nMonotonicUs;
        if (event.m_eKind == eZentrixEvSamplingStopped) {
            m_stoppedUs = event.m_nTimeUs;
        } else if (event.m_eKind == eZentrixEvBoxLost) {
            m_anyLost = true;
            std::cerr << BoxLostMessage(BoxOf(event.m_iIODeviceId), sinceStart / 1000) << std::endl;
        } else if (event.m_eKind == eZentrixEvDropped) {
            m_lostEvents += event.m_nCount;
            std::cerr << "zentrix: warning: " << BoxLabel(BoxOf(event.m_iIODeviceId)) << " lost "
                      << event.m_nCount << " events from " << SecondsText(sinceStart)
                      << " s on: its buffer was full" << std::endl;
        }
    }

    IoBoxInfo BoxOf(std::int32_t boxId) const {
        for (const IoBoxInfo& box : m_health.Boxes()) {
            if (box.id == boxId) {
                return box;
            }
        }
        return {boxId, ""};
    }

    void WriteTotals() const {
        std::string text = "box,device,item,kind,count,last_value\n";
        for (const auto& [key, count] : m_totals) {
            const auto last = m_lastValues.find(key);
            const auto& [box, device, signal, command, kind] = key;
            tagZentrixEvent event{};
            event.m_iDeviceId = device;
            event.m_iSignalId = signal;
            event.m_iCommandId = command;
            const auto eventKind = static_cast<tagEZentrixEventKind>(kind);
            text += (IsSessionKind(eventKind) ? std::string() : std::to_string(box)) + ',' +
                    CsvField(m_names.Device(device)) + ',' + CsvField(m_names.Item(event)) + ',' +
                    EventKindName(eventKind) + ',' + std::to_string(count) + ',' +
                    (last != m_lastValues.end() ? CsvField(FormatValueField(last->second)) : "") +
                    '\n';
        }
        WriteWholeFile(m_folder / kTotalsFileName, text);
    }

    nlohmann::ordered_json Boxes() const {
        nlohmann::ordered_json boxes = nlohmann::ordered_json::array();
        for (std::size_t i = 0; i < m_health.Boxes().size(); ++i) {
            const IoBoxInfo& box = m_health.Boxes()[i];
            const std::string serial = m_host.component.Serial(box.id);
            boxes.push_back({{"id", box.id},
                             {"name", box.name},
                             {"serial", serial.empty() ? nullptr : nlohmann::ordered_json(serial)},
                             {"connected", m_health.Connected(i)}});
        }
        return boxes;
    }

    nlohmann::ordered_json Devices() const {
        nlohmann::ordered_json devices = nlohmann::ordered_json::array();
        for (const DeviceInfo& device : m_host.catalog.Devices()) {
            // A reader tells a duration from a count by its value type, never by its name.
            nlohmann::ordered_json signals = nlohmann::ordered_json::array();
            for (const SignalInfo& signal : m_host.catalog.Signals(device.typeId)) {
                signals.push_back({{"id", signal.id},
                                   {"name", signal.name},
                                   {"value_type", ValueTypeName(signal.valueType)}});
            }
            devices.push_back({{"id", device.id},
                               {"name", device.name},
                               {"type_id", device.typeId},
                               {"type", m_host.catalog.DeviceTypeName(device.typeId)},
                               {"signals", std::move(signals)}});
        }
        return devices;
    }

    nlohmann::ordered_json Repeats() const {
        nlohmann::ordered_json repeats = nlohmann::ordered_json::array();
        for (const Repeat& repeat : m_repeats) {
            repeats.push_back({{"every_s", repeat.everySeconds},
                               {"device", repeat.device->name},
                               {"command", repeat.command->name},
                               {"sent", repeat.sent},
                               {"failed", repeat.failed}});
        }
        return repeats;
    }

    // Rewritten whole at the start and at the end, so that a reader never sees half of it.
    void WriteSession() const {
        const std::string backend = Environment("ZENTRIX_IOWARRIOR");
        const std::string timing = Environment("ZENTRIX_TIMING");
        const std::string sampling = Environment("ZENTRIX_SAMPLING");
        nlohmann::ordered_json session = {
            {"subject", m_options.subject},
            {"note", m_options.note ? nlohmann::ordered_json(*m_options.note) : nullptr},
            {"folder", m_folder.filename().string()},
            {"start_utc", UtcText(m_timeBase.m_nUtcUs)},
            {"start_local", LocalText(m_timeBase.m_nUtcUs)},
            {"end_utc", nullptr},
            {"end_local", nullptr},
            {"duration_s", nullptr},
            {"ended_by", nullptr},
            {"complete", m_end.has_value()},
            {"host", HostName()},
            {"zentrix_version", ZENTRIX_VERSION},
            {"plugin", m_host.pluginPath.string()},
            {"backend", BackendName(backend)},
            {"backend_setting", backend},
            {"timing", timing.empty() ? "default" : timing},
            {"sampling", sampling.empty() ? "default" : sampling},
            {"config_dir", m_host.configDirectory.string()},
            {"setup_file",
             m_setupCopied ? nlohmann::ordered_json(kHardwareSetupFileName) : nullptr},
            {"boxes", Boxes()},
            {"devices", Devices()},
            {"send_every", Repeats()},
            {"events", nullptr},
            {"lost_events", nullptr},
            {"totals", nullptr},
        };
        if (m_end) {
            const std::int64_t duration = *m_end - m_timeBase.m_nMonotonicUs;
            session["end_utc"] = UtcText(m_timeBase.m_nUtcUs + duration);
            session["end_local"] = LocalText(m_timeBase.m_nUtcUs + duration);
            session["duration_s"] =
                static_cast<double>(duration) / static_cast<double>(kMicrosecondsPerSecond);
            session["ended_by"] = m_endedBy;
            session["events"] = m_eventCount;
            session["lost_events"] = m_lostEvents;
            nlohmann::ordered_json totals = nlohmann::ordered_json::object();
            for (const tagEZentrixEventKind kind : kEventKinds) {
                const auto found = m_kindTotals.find(kind);
                totals[EventKindName(kind)] = found != m_kindTotals.end() ? found->second : 0;
            }
            for (const auto& [kind, count] : m_kindTotals) {
                if (std::find(kEventKinds.begin(), kEventKinds.end(), kind) == kEventKinds.end()) {
                    totals[EventKindName(kind)] = count;
                }
            }
            session["totals"] = std::move(totals);
        }
        // Names typed by the user need not be UTF-8; a stray byte must not lose the session.
        const std::string text =
            session.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
        WriteWholeFile(m_folder / kSessionFileName, text);
    }

    HostContext& m_host;
    const RecordOptions& m_options;
    const BoxHealth& m_health;
    EventNames m_names;
    std::vector<Repeat> m_repeats;
    fs::path m_folder;
    bool m_setupCopied = false;
    std::optional<AppendFile> m_events;
    Clock::time_point m_lastSync = Clock::now();
    tagZentrixTimeBase m_timeBase{};
    std::vector<tagZentrixEvent> m_batch;
    std::int64_t m_eventCount = 0;
    std::int64_t m_lostEvents = 0;
    std::map<tagEZentrixEventKind, std::int64_t> m_kindTotals;
    std::map<TotalKey, std::int64_t> m_totals;
    std::map<TotalKey, tagTECKavexIdtHiValue> m_lastValues;
    std::optional<std::int64_t> m_stoppedUs;
    std::optional<std::int64_t> m_end;
    std::string m_endedBy = "duration";
    bool m_anyLost = false;
};

}  // namespace

void CheckSubject(const std::string& subject) {
    const auto refuse = [](const std::string& why) {
        throw CliError("--subject names the session's folder, so it " + why);
    };
    if (subject.empty()) {
        refuse("must not be empty");
    }
    if (subject.find('/') != std::string::npos) {
        refuse("must not contain '/'");
    }
    if (subject.front() == '.') {
        refuse("must not begin with '.'");
    }
    if (std::any_of(subject.begin(), subject.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte < 0x20 || byte == 0x7F;
        })) {
        refuse("must not contain control characters");
    }
    if (subject.size() > kMaxSubjectBytes) {
        refuse("takes at most " + std::to_string(kMaxSubjectBytes) + " bytes");
    }
}

int RunRecord(HostContext& host, const RecordOptions& options) {
    CheckSubject(options.subject);
    host.component.EnableEvents();
    InstallStopHandlers();
    BoxHealth health(host.component);
    if (!ReportMissingBoxes(health, options.allowMissingBoxes)) {
        return kExitBoxMissing;
    }
    Recorder recorder(host, options, health);
    recorder.Begin();
    SamplerSession sampler(host.component);
    recorder.Started();
    recorder.Run();
    sampler.Stop();
    return recorder.Finish();
}

}  // namespace zentrix::cli
