#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>

#include "BoxHealth.h"
#include "CliError.h"
#include "Commands.h"
#include "ExitStatus.h"
#include "LiveTable.h"
#include "StopSignal.h"
#include "TextTable.h"
#include "Values.h"

namespace zentrix::cli {

namespace {

using Clock = std::chrono::steady_clock;

struct MonitoredSignal {
    const DeviceInfo* device = nullptr;
    const SignalInfo* signal = nullptr;
    bool accumulating = false;
    tagTECKavexIdtHiValue last{};
    std::int64_t total = 0;
};

TerminalSize CurrentTerminalSize() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
        return {size.ws_col, size.ws_row};
    }
    return {};
}

std::filesystem::path UnusedSibling(const std::filesystem::path& path) {
    std::error_code error;
    for (int number = 2;; ++number) {
        std::filesystem::path candidate = path;
        candidate.replace_filename(path.stem().string() + "-" + std::to_string(number) +
                                   path.extension().string());
        if (!std::filesystem::exists(candidate, error) || number == 1000) {
            return candidate;
        }
    }
}

// Opens the log without ever replacing an earlier session's file unless asked to.
void CreateCsvFile(const std::filesystem::path& path, bool overwrite) {
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (overwrite ? O_TRUNC : O_EXCL);
    const int descriptor = ::open(path.c_str(), flags, 0666);
    if (descriptor < 0) {
        const int error = errno;
        if (error == EEXIST) {
            throw CliError(path.string() +
                           " exists and may hold an earlier session: choose another "
                           "name (--csv " +
                           UnusedSibling(path).string() + ") or give --overwrite to replace it");
        }
        throw CliError("cannot write " + path.string() + ": " + std::strerror(error));
    }
    ::close(descriptor);
}

std::string ElapsedText(std::int64_t elapsedMs) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(elapsedMs) / 1000.0);
    return text;
}

class Monitor {
public:
    Monitor(HostContext& host, const MonitorOptions& options, BoxHealth& health)
        : m_host(host),
          m_options(options),
          m_health(health),
          m_terminal(isatty(STDOUT_FILENO) == 1 && !host.json),
          // On a terminal that also shows standard error a message would break into the table, so
          // it waits in the table's heading until the table is done.
          m_holdMessages(m_terminal && isatty(STDERR_FILENO) == 1) {
        for (const DeviceInfo& device : m_host.catalog.Devices()) {
            for (const SignalInfo& signal : m_host.catalog.Signals(device.typeId)) {
                MonitoredSignal entry;
                entry.device = &device;
                entry.signal = &signal;
                entry.accumulating = IsAccumulating(signal.valueType);
                entry.last.m_eType = eKavexIdtHiVtUndefined;
                m_signals.push_back(entry);
            }
        }
        if (m_options.repeatedCommand) {
            m_repeatDevice = &m_host.catalog.FindDevice(m_options.repeatedCommand->device);
            m_repeatCommand =
                &m_host.catalog.FindCommand(*m_repeatDevice, m_options.repeatedCommand->command);
        }
        if (m_options.csvFile) {
            CreateCsvFile(*m_options.csvFile, m_options.overwriteCsv);
            m_csv.open(*m_options.csvFile, std::ios::out | std::ios::trunc);
            if (!m_csv) {
                throw CliError("cannot write " + m_options.csvFile->string());
            }
            m_csv << "t_ms,device_id,device,signal_id,signal,type,value\n";
        }
    }

    // Returns the exit status: 3 when a box was lost, 1 when a command failed, else 0.
    int Run() {
        const auto period = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(1.0 / m_options.rateHz));
        const auto start = Clock::now();
        std::optional<Clock::time_point> end;
        if (m_options.durationSeconds) {
            end = start + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(*m_options.durationSeconds));
        }
        const auto every =
            m_repeatDevice == nullptr
                ? Clock::duration::max()
                : std::chrono::duration_cast<Clock::duration>(
                      std::chrono::duration<double>(m_options.repeatedCommand->everySeconds));
        RecordBoxesAtStart();
        // Commands keep their own fixed schedule from the start, so a late one never delays the
        // next and none due within the duration is left out.
        std::int64_t commandNumber = 0;
        const auto commandDue = [&] {
            return m_repeatDevice == nullptr ? Clock::time_point::max()
                                             : start + commandNumber * every;
        };
        std::int64_t tick = 0;
        bool outputOpen = true;
        while (true) {
            const auto sampleDue = start + tick * period;
            const auto due = std::min(sampleDue, commandDue());
            if (end && due > *end) {
                SleepUntil(*end);
                break;
            }
            if (!SleepUntil(due)) {
                break;
            }
            auto now = Clock::now();
            while (commandDue() <= now && (!end || commandDue() <= *end)) {
                SendRepeated(ElapsedMs(start, Clock::now()));
                ++commandNumber;
            }
            if (sampleDue <= now) {
                now = Clock::now();
                SampleAndCheck(ElapsedMs(start, now));
                if (!std::cout) {
                    outputOpen = false;
                    break;
                }
                // After a stall, carry on from the present instead of catching up with a burst.
                tick = std::max<std::int64_t>(tick + 1, (now - start) / period + 1);
            }
        }
        m_finalElapsedMs = ElapsedMs(start, Clock::now());
        // What accrued since the last sample belongs to the session's totals too.
        if (outputOpen && m_finalElapsedMs != m_lastSampleMs) {
            SampleAndCheck(m_finalElapsedMs);
        }
        FinishCsv();
        return m_health.AnyLost() ? kExitBoxMissing
                                  : (m_failedCommands > 0 ? kExitError : kExitDone);
    }

    // After the sampler stopped: the table's held messages, the session's totals and what failed.
    void Finish() {
        for (const std::string& message : m_heldMessages) {
            std::cerr << message << std::endl;
        }
        PrintTotals();
        if (m_failedCommands > 0) {
            std::cerr << "zentrix: " << m_failedCommands << " of " << m_sentCommands
                      << " commands failed" << std::endl;
        }
    }

private:
    static std::int64_t ElapsedMs(Clock::time_point start, Clock::time_point now) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count();
    }

    void Report(const std::string& message) {
        if (m_holdMessages) {
            m_heldMessages.push_back(message);
        } else {
            std::cerr << message << std::endl;
        }
    }

    void WriteCsvRow(std::int64_t elapsedMs, std::int32_t firstId, const std::string& firstName,
                     const std::string& secondId, const std::string& secondName,
                     const std::string& type, const std::string& value) {
        m_csv << elapsedMs << ',' << firstId << ',' << CsvField(firstName) << ',' << secondId << ','
              << CsvField(secondName) << ',' << type << ',' << CsvField(value) << '\n';
    }

    void FlushCsv() {
        if (!m_csv.is_open()) {
            return;
        }
        m_csv.flush();
        if (!m_csv) {
            const int error = errno;
            throw CliError("writing " + m_options.csvFile->string() + " failed" +
                           (error != 0 ? std::string(": ") + std::strerror(error) : std::string()));
        }
    }

    void FinishCsv() {
        if (m_csv.is_open()) {
            FlushCsv();
            m_csv.close();
            if (!m_csv) {
                throw CliError("writing " + m_options.csvFile->string() + " failed");
            }
        }
    }

    void RecordBox(std::int64_t elapsedMs, const IoBoxInfo& box, const char* state) {
        if (m_csv.is_open()) {
            WriteCsvRow(elapsedMs, box.id, box.name, "", "", "box", state);
        }
        if (m_host.json) {
            PrintJsonLine({{"t_ms", elapsedMs},
                           {"event", "box"},
                           {"box_id", box.id},
                           {"box", box.name},
                           {"state", state}});
        }
    }

    void RecordBoxesAtStart() {
        for (std::size_t i = 0; i < m_health.Boxes().size(); ++i) {
            RecordBox(0, m_health.Boxes()[i], m_health.Connected(i) ? "connected" : "missing");
        }
        FlushCsv();
    }

    void CheckBoxes(std::int64_t elapsedMs) {
        for (const IoBoxInfo& box : m_health.NewlyLost()) {
            RecordBox(elapsedMs, box, "lost");
            const std::string message = BoxLostMessage(box, elapsedMs);
            Report(message);
            m_alerts.push_back(BoxLabel(box) + " LOST at " + ElapsedText(elapsedMs));
        }
    }

    void SendRepeated(std::int64_t elapsedMs) {
        const HRESULT result =
            m_host.component.SendCommand(m_repeatDevice->id, m_repeatCommand->id);
        ++m_sentCommands;
        const bool ok = !Failed(result);
        if (!ok) {
            ++m_failedCommands;
        }
        m_lastCommand = "sent \"" + m_repeatCommand->name + "\" " + std::to_string(m_sentCommands) +
                        "x, last at " + ElapsedText(elapsedMs) + ": " + HresultText(result);
        if (m_csv.is_open()) {
            WriteCsvRow(elapsedMs, m_repeatDevice->id, m_repeatDevice->name,
                        std::to_string(m_repeatCommand->id), m_repeatCommand->name, "command",
                        HresultText(result));
            FlushCsv();
        }
        if (m_host.json) {
            PrintJsonLine({{"t_ms", elapsedMs},
                           {"event", "command"},
                           {"device_id", m_repeatDevice->id},
                           {"device", m_repeatDevice->name},
                           {"command_id", m_repeatCommand->id},
                           {"command", m_repeatCommand->name},
                           {"result", HresultText(result)},
                           {"ok", ok}});
        } else if (!m_terminal) {
            std::cout << "[" << elapsedMs << " ms] sent \"" << m_repeatCommand->name << "\" to \""
                      << m_repeatDevice->name << "\": " << HresultText(result) << std::endl;
        }
        if (!ok) {
            Report("zentrix: SendCommand(\"" + m_repeatDevice->name + "\", \"" +
                   m_repeatCommand->name + "\") at " + ElapsedText(elapsedMs) + " failed with " +
                   HresultText(result));
        }
    }

    void SampleAndCheck(std::int64_t elapsedMs) {
        m_lastSampleMs = elapsedMs;
        CheckBoxes(elapsedMs);
        Sample(elapsedMs);
    }

    void Sample(std::int64_t elapsedMs) {
        for (MonitoredSignal& entry : m_signals) {
            entry.last = m_host.component.ReceiveSignal(entry.device->id, entry.signal->id);
            if (entry.accumulating) {
                if (entry.last.m_eType == eKavexIdtHiVtLongLong) {
                    entry.total += entry.last.m_lValueLongLong;
                } else if (entry.last.m_eType == eKavexIdtHiVtDuration) {
                    entry.total += entry.last.m_nMicroSeconds;
                }
            }
            if (m_csv.is_open()) {
                WriteCsvRow(elapsedMs, entry.device->id, entry.device->name,
                            std::to_string(entry.signal->id), entry.signal->name,
                            ValueTypeName(entry.last.m_eType), FormatValueField(entry.last));
            }
        }
        FlushCsv();
        if (m_host.json) {
            PrintJson(elapsedMs);
        } else if (m_terminal) {
            DrawTable(elapsedMs);
        } else {
            PrintLines(elapsedMs);
        }
    }

    void PrintTotals() const {
        if (m_host.json) {
            nlohmann::ordered_json totals = nlohmann::ordered_json::array();
            for (const MonitoredSignal& entry : m_signals) {
                if (entry.accumulating) {
                    totals.push_back({{"device_id", entry.device->id},
                                      {"device", entry.device->name},
                                      {"signal_id", entry.signal->id},
                                      {"signal", entry.signal->name},
                                      {"type", ValueTypeName(entry.signal->valueType)},
                                      {"total", entry.total}});
                }
            }
            PrintJsonLine({{"t_ms", m_finalElapsedMs}, {"event", "totals"}, {"totals", totals}});
            return;
        }
        std::cout << "totals over " << ElapsedText(m_finalElapsedMs) << ":\n";
        const auto lines = DeviceLines([this](const MonitoredSignal& entry) {
            return entry.accumulating ? entry.signal->name + " " + TotalText(entry) : std::string();
        });
        for (const auto& [device, line] : lines) {
            std::cout << "  " << device->name << ": " << line << '\n';
        }
        if (lines.empty()) {
            std::cout << "  no counting signals\n";
        }
        std::cout.flush();
    }

    std::string TotalText(const MonitoredSignal& entry) const {
        if (!entry.accumulating) {
            return "";
        }
        return FormatValue(entry.signal->valueType == eKavexIdtHiVtDuration
                               ? MakeDurationValue(entry.total)
                               : MakeIntegerValue(entry.total));
    }

    std::string ValueText(const MonitoredSignal& entry) const {
        const std::string value = FormatValue(entry.last);
        return entry.accumulating && entry.last.m_eType != eKavexIdtHiVtUndefined ? "+" + value
                                                                                  : value;
    }

    void PrintJson(std::int64_t elapsedMs) const {
        nlohmann::ordered_json readings = nlohmann::ordered_json::array();
        for (const MonitoredSignal& entry : m_signals) {
            nlohmann::ordered_json reading = {{"device_id", entry.device->id},
                                              {"device", entry.device->name},
                                              {"signal_id", entry.signal->id},
                                              {"signal", entry.signal->name},
                                              {"type", ValueTypeName(entry.last.m_eType)},
                                              {"value", ValueToJson(entry.last)}};
            if (entry.accumulating) {
                reading["total"] = entry.total;
            }
            readings.push_back(std::move(reading));
        }
        PrintJsonLine({{"t_ms", elapsedMs}, {"readings", readings}});
    }

    // Each device's signal texts joined into one line, in the order of the signals; a device
    // whose signals all give an empty text has no line.
    template <typename Text>
    std::vector<std::pair<const DeviceInfo*, std::string>> DeviceLines(Text text) const {
        std::vector<std::pair<const DeviceInfo*, std::string>> lines;
        const DeviceInfo* device = nullptr;
        for (const MonitoredSignal& entry : m_signals) {
            const std::string part = text(entry);
            if (part.empty()) {
                continue;
            }
            if (entry.device != device) {
                device = entry.device;
                lines.emplace_back(device, part);
            } else {
                lines.back().second += ", " + part;
            }
        }
        return lines;
    }

    void PrintLines(std::int64_t elapsedMs) const {
        const auto lines = DeviceLines([this](const MonitoredSignal& entry) {
            std::string part = entry.signal->name + " = " + ValueText(entry);
            if (entry.accumulating) {
                part += " (total " + TotalText(entry) + ")";
            }
            return part;
        });
        for (const auto& [device, line] : lines) {
            std::cout << "[" << elapsedMs << " ms] " << device->name << ": " << line << '\n';
        }
        if (m_signals.empty()) {
            std::cout << "[" << elapsedMs << " ms] no devices\n";
        }
        std::cout.flush();
    }

    void DrawTable(std::int64_t elapsedMs) {
        std::vector<LiveDevice> devices;
        m_drawnValues.resize(m_signals.size());
        for (std::size_t i = 0; i < m_signals.size(); ++i) {
            const MonitoredSignal& entry = m_signals[i];
            if (i == 0 || entry.device != m_signals[i - 1].device) {
                devices.push_back({entry.device->name, {}});
            }
            LiveSignal signal{entry.signal->name, ValueTypeName(entry.signal->valueType),
                              ValueText(entry), TotalText(entry), entry.accumulating};
            signal.changed = !m_drawnValues[i].empty() && signal.value != m_drawnValues[i];
            const auto& resting = entry.signal->defaultValue;
            signal.atDefault =
                resting ? signal.value == FormatValue(*resting) : signal.value == "false";
            m_drawnValues[i] = signal.value;
            devices.back().signals.push_back(std::move(signal));
        }
        char heading[96];
        std::snprintf(heading, sizeof heading, "zentrix monitor  %.1f s at %g Hz  (Ctrl-C stops)",
                      static_cast<double>(elapsedMs) / 1000.0, m_options.rateHz);
        const TerminalSize terminal = CurrentTerminalSize();
        // A terminal that rewraps its lines when it narrows leaves the old table's top out of reach
        // of a cursor-up, so a change of width redraws from the top of the screen.
        if (m_drawnLines > 0 && terminal.columns != m_drawnColumns) {
            std::cout << "\x1b[H";
        } else if (m_drawnLines > 0) {
            std::cout << "\x1b[" << m_drawnLines << "A\r";
        }
        // The last command and lost boxes stay in view under the heading; the table gets the rest.
        std::vector<std::string> status;
        if (!m_lastCommand.empty()) {
            status.push_back("  " + m_lastCommand);
        }
        status.insert(status.end(), m_alerts.begin(), m_alerts.end());
        TerminalSize tableSize = terminal;
        tableSize.rows = terminal.rows > status.size() + 2 ? terminal.rows - status.size() : 2;
        std::vector<std::string> lines = LayOutLiveTable(heading, devices, tableSize);
        for (std::size_t i = 0; i < status.size() && lines.size() + 1 < terminal.rows; ++i) {
            lines.insert(
                lines.begin() + static_cast<std::ptrdiff_t>(1 + i),
                TruncateToWidth(status[i], terminal.columns > 1 ? terminal.columns - 1 : 0));
        }
        for (const std::string& line : lines) {
            std::cout << "\x1b[2K" << line << '\n';
        }
        // Clears what a taller table drew last time.
        std::cout << "\x1b[J";
        m_drawnLines = lines.size();
        m_drawnColumns = terminal.columns;
        std::cout.flush();
    }

    HostContext& m_host;
    const MonitorOptions& m_options;
    BoxHealth& m_health;
    const bool m_terminal;
    const bool m_holdMessages;
    std::vector<MonitoredSignal> m_signals;
    const DeviceInfo* m_repeatDevice = nullptr;
    const CommandInfo* m_repeatCommand = nullptr;
    std::int64_t m_sentCommands = 0;
    std::int64_t m_failedCommands = 0;
    std::string m_lastCommand;
    std::vector<std::string> m_alerts;
    std::vector<std::string> m_heldMessages;
    std::int64_t m_finalElapsedMs = 0;
    std::int64_t m_lastSampleMs = -1;
    std::ofstream m_csv;
    std::size_t m_drawnLines = 0;
    std::size_t m_drawnColumns = 0;
    std::vector<std::string> m_drawnValues;
};

}  // namespace

int RunMonitor(HostContext& host, const MonitorOptions& options) {
    if (!(options.rateHz > 0.0) || !std::isfinite(options.rateHz)) {
        throw CliError("--rate must be a positive number of samples per second");
    }
    InstallStopHandlers();
    BoxHealth health(host.component);
    if (!ReportMissingBoxes(health, options.allowMissingBoxes)) {
        return kExitBoxMissing;
    }
    Monitor monitor(host, options, health);
    SamplerSession sampler(host.component);
    const int status = monitor.Run();
    sampler.Stop();
    monitor.Finish();
    return status;
}

}  // namespace zentrix::cli
