#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <iostream>

#include "CliError.h"
#include "Commands.h"
#include "LiveTable.h"
#include "StopSignal.h"
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

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"') {
            quoted += '"';
        }
        quoted += c;
    }
    return quoted + '"';
}

TerminalSize CurrentTerminalSize() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
        return {size.ws_col, size.ws_row};
    }
    return {};
}

class Monitor {
public:
    Monitor(HostContext& host, const MonitorOptions& options)
        : m_host(host), m_options(options), m_terminal(isatty(STDOUT_FILENO) == 1 && !host.json) {
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
        if (m_options.csvFile) {
            m_csv.open(*m_options.csvFile, std::ios::out | std::ios::trunc);
            if (!m_csv) {
                throw CliError("cannot write " + m_options.csvFile->string());
            }
            m_csv << "t_ms,device_id,device,signal_id,signal,type,value\n";
        }
    }

    void Run() {
        const auto period = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(1.0 / m_options.rateHz));
        const auto start = Clock::now();
        std::optional<Clock::time_point> end;
        if (m_options.durationSeconds) {
            end = start + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(*m_options.durationSeconds));
        }
        const DeviceInfo* repeatDevice = nullptr;
        const CommandInfo* repeatCommand = nullptr;
        Clock::duration repeatEvery{};
        Clock::time_point nextRepeat = start;
        if (m_options.repeatedCommand) {
            repeatDevice = &m_host.catalog.FindDevice(m_options.repeatedCommand->device);
            repeatCommand =
                &m_host.catalog.FindCommand(*repeatDevice, m_options.repeatedCommand->command);
            repeatEvery = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(m_options.repeatedCommand->everySeconds));
        }
        for (std::int64_t tick = 0;; ++tick) {
            const auto due = start + tick * period;
            if (end && due > *end) {
                break;
            }
            if (!SleepUntil(due)) {
                break;
            }
            const auto now = Clock::now();
            if (repeatDevice != nullptr && now >= nextRepeat) {
                m_host.component.SendCommand(repeatDevice->id, repeatCommand->id);
                nextRepeat = now + repeatEvery;
            }
            Sample(std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count());
            if (!std::cout) {
                break;
            }
            // After a stall, carry on from the present instead of catching up with a burst.
            tick = std::max<std::int64_t>(tick, (now - start) / period);
        }
        if (m_csv.is_open()) {
            m_csv.close();
            if (!m_csv) {
                throw CliError("writing " + m_options.csvFile->string() + " failed");
            }
        }
    }

private:
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
                m_csv << elapsedMs << ',' << entry.device->id << ',' << CsvField(entry.device->name)
                      << ',' << entry.signal->id << ',' << CsvField(entry.signal->name) << ','
                      << ValueTypeName(entry.last.m_eType) << ',' << FormatValueField(entry.last)
                      << '\n';
            }
        }
        if (m_csv.is_open()) {
            m_csv.flush();
        }
        if (m_host.json) {
            PrintJson(elapsedMs);
        } else if (m_terminal) {
            DrawTable(elapsedMs);
        } else {
            PrintLines(elapsedMs);
        }
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

    void PrintLines(std::int64_t elapsedMs) const {
        const DeviceInfo* device = nullptr;
        std::string line;
        const auto flush = [&] {
            if (device != nullptr) {
                std::cout << "[" << elapsedMs << " ms] " << device->name << ": " << line << '\n';
            }
        };
        for (const MonitoredSignal& entry : m_signals) {
            if (entry.device != device) {
                flush();
                device = entry.device;
                line.clear();
            } else {
                line += ", ";
            }
            line += entry.signal->name + " = " + ValueText(entry);
            if (entry.accumulating) {
                line += " (total " + TotalText(entry) + ")";
            }
        }
        flush();
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
        const std::vector<std::string> lines = LayOutLiveTable(heading, devices, terminal);
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
    const bool m_terminal;
    std::vector<MonitoredSignal> m_signals;
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
    Monitor monitor(host, options);
    SamplerSession sampler(host.component);
    monitor.Run();
    sampler.Stop();
    return 0;
}

}  // namespace zentrix::cli
