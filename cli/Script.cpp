#include "Script.h"

#include <unistd.h>

#include <charconv>
#include <chrono>
#include <iostream>
#include <map>
#include <utility>

#include "BoxHealth.h"
#include "CliError.h"
#include "Commands.h"
#include "ExitStatus.h"
#include "StopSignal.h"
#include "Values.h"

namespace zentrix::cli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kWatchPeriod = std::chrono::milliseconds(100);
constexpr std::int64_t kDefaultWatchMilliseconds = 1000;
constexpr std::string_view kScriptCommands = "send, read, wait, watch, quit";

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::int64_t ParseMilliseconds(std::string_view token) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value);
    if (error != std::errc() || end != token.data() + token.size() || token.empty() || value < 0) {
        throw CliError("expected a number of milliseconds (0 or more), got \"" +
                       std::string(token) + "\"");
    }
    return value;
}

class ScriptRunner {
public:
    ScriptRunner(HostContext& host, BoxHealth& health)
        : m_host(host), m_health(health), m_start(Clock::now()) {}

    // Reports, on standard error and in the JSON stream, each box lost since the last look.
    void CheckBoxes() {
        const auto elapsedMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_start).count();
        for (const IoBoxInfo& box : m_health.NewlyLost()) {
            std::cerr << BoxLostMessage(box, elapsedMs) << std::endl;
            if (m_host.json) {
                PrintJsonLine({{"line", m_lineNumber},
                               {"action", "box"},
                               {"t_ms", elapsedMs},
                               {"box_id", box.id},
                               {"box", box.name},
                               {"state", "lost"}});
            }
        }
    }

    // Returns false when the script asked to quit.
    bool Execute(int lineNumber, const std::vector<std::string>& words) {
        m_lineNumber = lineNumber;
        const std::string& command = words.front();
        const std::vector<std::string> arguments(words.begin() + 1, words.end());
        if (command == "quit") {
            ExpectArguments(command, arguments, 0, "quit");
            return false;
        }
        if (command == "send") {
            ExpectArguments(command, arguments, 2, "send DEVICE COMMAND");
            Send(arguments[0], arguments[1]);
        } else if (command == "read") {
            ExpectArguments(command, arguments, 2, "read DEVICE SIGNAL");
            Read(arguments[0], arguments[1]);
        } else if (command == "wait") {
            ExpectArguments(command, arguments, 1, "wait MS");
            SleepUntil(Clock::now() + std::chrono::milliseconds(ParseMilliseconds(arguments[0])));
        } else if (command == "watch") {
            Watch(arguments);
        } else {
            throw CliError("unknown script command \"" + command +
                           "\"; valid commands: " + std::string(kScriptCommands));
        }
        return true;
    }

private:
    // A counting signal's value is what accrued since the previous read by anyone; the script's
    // reads and watches add it up so that a read after a watch still shows what happened.
    struct Reading {
        tagTECKavexIdtHiValue value{};
        bool counting = false;
        std::int64_t total = 0;
    };

    Reading Receive(const DeviceInfo& device, const SignalInfo& signal) {
        Reading reading;
        reading.value = m_host.component.ReceiveSignal(device.id, signal.id);
        reading.counting = IsAccumulating(signal.valueType);
        if (reading.counting) {
            std::int64_t& total = m_totals[{device.id, signal.id}];
            if (reading.value.m_eType == eKavexIdtHiVtLongLong) {
                total += reading.value.m_lValueLongLong;
            } else if (reading.value.m_eType == eKavexIdtHiVtDuration) {
                total += reading.value.m_nMicroSeconds;
            }
            reading.total = total;
        }
        return reading;
    }

    static std::string ReadingText(const SignalInfo& signal, const Reading& reading) {
        std::string text = signal.name + " = ";
        if (!reading.counting || reading.value.m_eType == eKavexIdtHiVtUndefined) {
            return text + FormatValue(reading.value);
        }
        const tagTECKavexIdtHiValue total = signal.valueType == eKavexIdtHiVtDuration
                                                ? MakeDurationValue(reading.total)
                                                : MakeIntegerValue(reading.total);
        return text + "+" + FormatValue(reading.value) + " (total " + FormatValue(total) + ")";
    }

    static nlohmann::ordered_json ReadingToJson(const DeviceInfo& device, const SignalInfo& signal,
                                                const Reading& reading) {
        nlohmann::ordered_json document = {{"device_id", device.id},
                                           {"device", device.name},
                                           {"signal_id", signal.id},
                                           {"signal", signal.name},
                                           {"type", ValueTypeName(reading.value.m_eType)},
                                           {"value", ValueToJson(reading.value)}};
        if (reading.counting) {
            document["total"] = reading.total;
        }
        return document;
    }

    static void ExpectArguments(const std::string& command,
                                const std::vector<std::string>& arguments, std::size_t count,
                                const char* usage) {
        if (arguments.size() != count) {
            throw CliError("\"" + command + "\" takes " + std::to_string(count) +
                           (count == 1 ? " argument" : " arguments") + " (usage: " + usage +
                           "), got " + std::to_string(arguments.size()));
        }
    }

    void Send(const std::string& deviceToken, const std::string& commandToken) {
        const DeviceInfo& device = m_host.catalog.FindDevice(deviceToken);
        const CommandInfo& command = m_host.catalog.FindCommand(device, commandToken);
        const HRESULT result = m_host.component.SendCommand(device.id, command.id);
        ThrowIfFailed(result, "SendCommand(\"" + device.name + "\", \"" + command.name + "\")");
        if (m_host.json) {
            PrintJsonLine({{"line", m_lineNumber},
                           {"action", "send"},
                           {"device_id", device.id},
                           {"device", device.name},
                           {"command_id", command.id},
                           {"command", command.name},
                           {"hresult", HresultText(result)}});
        } else {
            std::cout << "sent \"" << command.name << "\" to \"" << device.name << "\"";
            if (result != S_OK) {
                std::cout << " (" << HresultText(result) << ")";
            }
            std::cout << std::endl;
        }
    }

    void Read(const std::string& deviceToken, const std::string& signalToken) {
        const DeviceInfo& device = m_host.catalog.FindDevice(deviceToken);
        const SignalInfo& signal = m_host.catalog.FindSignal(device, signalToken);
        const Reading reading = Receive(device, signal);
        if (m_host.json) {
            nlohmann::ordered_json document = {{"line", m_lineNumber}, {"action", "read"}};
            document.update(ReadingToJson(device, signal, reading));
            PrintJsonLine(document);
        } else {
            std::cout << device.name << ": " << ReadingText(signal, reading) << std::endl;
        }
    }

    void Watch(const std::vector<std::string>& arguments) {
        std::int64_t forMilliseconds = kDefaultWatchMilliseconds;
        std::vector<const DeviceInfo*> devices;
        for (std::size_t i = 0; i < arguments.size(); ++i) {
            if (arguments[i] == "--for") {
                if (i + 1 == arguments.size()) {
                    throw CliError("\"--for\" needs a number of milliseconds");
                }
                forMilliseconds = ParseMilliseconds(arguments[++i]);
            } else {
                devices.push_back(&m_host.catalog.FindDevice(arguments[i]));
            }
        }
        if (devices.empty()) {
            throw CliError(
                "\"watch\" needs at least one device (usage: watch DEVICE... [--for MS])");
        }
        for (const DeviceInfo* device : devices) {
            m_host.catalog.Signals(device->typeId);
        }
        const auto start = Clock::now();
        const auto end = start + std::chrono::milliseconds(forMilliseconds);
        for (auto due = start; due <= end; due += kWatchPeriod) {
            if (!SleepUntil(due)) {
                return;
            }
            CheckBoxes();
            const auto elapsed =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
            PrintWatchTick(devices, elapsed.count());
        }
    }

    void PrintWatchTick(const std::vector<const DeviceInfo*>& devices, std::int64_t elapsedMs) {
        nlohmann::ordered_json readings = nlohmann::ordered_json::array();
        for (const DeviceInfo* device : devices) {
            std::string line;
            for (const SignalInfo& signal : m_host.catalog.Signals(device->typeId)) {
                const Reading reading = Receive(*device, signal);
                readings.push_back(ReadingToJson(*device, signal, reading));
                line += (line.empty() ? "" : ", ") + ReadingText(signal, reading);
            }
            if (!m_host.json) {
                std::cout << "[" << elapsedMs << " ms] " << device->name << ": " << line << '\n';
            }
        }
        if (m_host.json) {
            PrintJsonLine({{"line", m_lineNumber},
                           {"action", "watch"},
                           {"t_ms", elapsedMs},
                           {"readings", readings}});
        } else {
            std::cout.flush();
        }
    }

    HostContext& m_host;
    BoxHealth& m_health;
    const Clock::time_point m_start;
    std::map<std::pair<std::int32_t, std::int32_t>, std::int64_t> m_totals;
    int m_lineNumber = 0;
};

}  // namespace

std::vector<std::string> TokenizeScriptLine(std::string_view line) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (true) {
        while (i < line.size() && IsBlank(line[i])) {
            ++i;
        }
        if (i == line.size() || line[i] == '#') {
            return words;
        }
        std::string word;
        if (line[i] == '"') {
            ++i;
            bool closed = false;
            while (i < line.size()) {
                const char c = line[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\' && i < line.size() && (line[i] == '"' || line[i] == '\\')) {
                    word.push_back(line[i++]);
                } else {
                    word.push_back(c);
                }
            }
            if (!closed) {
                throw CliError("unterminated quoted name");
            }
        } else {
            while (i < line.size() && !IsBlank(line[i])) {
                word.push_back(line[i++]);
            }
        }
        words.push_back(std::move(word));
    }
}

int RunScript(HostContext& host, std::istream& input, bool allowMissingBoxes) {
    InstallStopHandlers();
    const bool interactive = &input == &std::cin && isatty(STDIN_FILENO) == 1;
    BoxHealth health(host.component);
    if (!ReportMissingBoxes(health, allowMissingBoxes)) {
        return kExitBoxMissing;
    }
    SamplerSession sampler(host.component);
    ScriptRunner runner(host, health);
    int failedLines = 0;
    int lineNumber = 0;
    std::string line;
    while (!StopRequested()) {
        if (interactive) {
            std::cerr << "zentrix> " << std::flush;
        }
        if (!std::getline(input, line)) {
            break;
        }
        ++lineNumber;
        runner.CheckBoxes();
        try {
            const std::vector<std::string> words = TokenizeScriptLine(line);
            if (!words.empty() && !runner.Execute(lineNumber, words)) {
                break;
            }
        } catch (const CliError& error) {
            ++failedLines;
            std::cerr << "zentrix: line " << lineNumber << ": " << error.what() << std::endl;
        }
    }
    runner.CheckBoxes();
    sampler.Stop();
    if (StopRequested()) {
        std::cerr << "zentrix: interrupted; sampler stopped" << std::endl;
    }
    if (health.AnyLost()) {
        return kExitBoxMissing;
    }
    if (StopRequested()) {
        return kExitInterrupted;
    }
    return failedLines == 0 ? kExitDone : kExitError;
}

}  // namespace zentrix::cli
