// Runs the built `zentrix record` on the simulated bench and checks the session folder it leaves:
// after a clean end, after a signal, after SIGKILL and after a failed write.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/ChildProcess.h"
#include "support/HardwareSetupXml.h"
#include "support/TempDir.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using zentrix::testing::Lines;
using zentrix::testing::ReadFile;
using zentrix::testing::TempDir;

constexpr const char* kPellets = "Pellets, \"big\"";
constexpr const char* kHeader = "utc,t_s,window_s,box,device,item,kind,value";
constexpr std::size_t kColumns = 8;
constexpr std::size_t kKindColumn = 6;
constexpr auto kChildTimeout = std::chrono::seconds(30);

// The demo bench's devices, one with a name that CSV must quote.
const std::string kHardwareSetup = zentrix::testing::HardwareSetupXml({{3, -1, 4, 4, "Button box"},
                                                                       {5, -1, 2, 3, kPellets},
                                                                       {13, 1, 0, 0, "Top"},
                                                                       {15, -1, 3, 2, "Licks"}});

constexpr const char* kRegistryWithFastLickometer =
    "Windows Registry Editor Version 5.00\r\n\r\n"
    "[HKEY_CURRENT_USER\\Software\\Tamsel Information Technology\\Common\\Zentrix]\r\n"
    "\"LickometerFrequency\"=dword:00000001\r\n";

fs::path CliPath() {
    return fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "cli" / "zentrix";
}

struct Csv {
    std::vector<std::vector<std::string>> rows;
    // False when the text ends inside a quoted field or without a line break.
    bool whole = true;
};

Csv ParseCsv(const std::string& text) {
    Csv csv;
    std::vector<std::string> row;
    std::string field;
    bool quoted = false;
    bool pending = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        pending = true;
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            row.push_back(std::move(field));
            field.clear();
        } else if (c == '\n') {
            row.push_back(std::move(field));
            field.clear();
            csv.rows.push_back(std::move(row));
            row.clear();
            pending = false;
        } else {
            field += c;
        }
    }
    if (pending || quoted) {
        csv.whole = false;
    }
    return csv;
}

std::optional<std::chrono::system_clock::time_point> ParseUtc(const std::string& text) {
    static const std::regex kUtc(R"((\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})\.(\d{6})Z)");
    std::smatch match;
    if (!std::regex_match(text, match, kUtc)) {
        return std::nullopt;
    }
    std::tm parts{};
    parts.tm_year = std::stoi(match[1]) - 1900;
    parts.tm_mon = std::stoi(match[2]) - 1;
    parts.tm_mday = std::stoi(match[3]);
    parts.tm_hour = std::stoi(match[4]);
    parts.tm_min = std::stoi(match[5]);
    parts.tm_sec = std::stoi(match[6]);
    return std::chrono::system_clock::from_time_t(timegm(&parts)) +
           std::chrono::microseconds(std::stoi(match[7]));
}

std::string LocalFolderTime(std::time_t when) {
    std::tm parts{};
    localtime_r(&when, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d_%H-%M-%S", &parts);
    return text;
}

struct Launch {
    Launch(std::vector<std::string> recordArguments, std::vector<std::string> extraVariables = {},
           bool simulated = true)
        : arguments(std::move(recordArguments)),
          variables(std::move(extraVariables)),
          simulate(simulated) {}

    std::vector<std::string> arguments;
    std::vector<std::string> variables;
    bool simulate = true;
    // RLIMIT_FSIZE in bytes, with SIGXFSZ ignored so that a write past it fails with EFBIG.
    std::optional<rlim_t> fileSizeLimit;
};

struct Finished {
    int exitCode = -1;
    std::string out;
    std::string err;
};

class RecordCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(CliPath())) << CliPath() << " is missing: build zentrix_cli first";
        ASSERT_FALSE(m_temp.Path().empty());
        fs::create_directories(ConfigDirectory());
        fs::create_directories(OutDirectory());
        std::ofstream(ConfigDirectory() / "HardwareSetup.xml") << kHardwareSetup;
        m_temp.Write("registry.reg", kRegistryWithFastLickometer);
    }

    void TearDown() override {
        if (m_child > 0) {
            kill(m_child, SIGKILL);
            waitpid(m_child, nullptr, 0);
        }
    }

    fs::path ConfigDirectory() const { return m_temp.Path() / "config"; }
    fs::path OutDirectory() const { return m_temp.Path() / "out"; }

    // Starts zentrix record with a private registry store and homes, writing into OutDirectory.
    void Start(const Launch& launch) {
        std::vector<std::string> argumentStorage = {CliPath().string()};
        if (launch.simulate) {
            argumentStorage.insert(argumentStorage.end(),
                                   {"--simulate", "--config-dir", ConfigDirectory().string()});
        } else {
            argumentStorage.insert(argumentStorage.end(),
                                   {"--config-dir", ConfigDirectory().string()});
        }
        argumentStorage.emplace_back("record");
        if (std::find(launch.arguments.begin(), launch.arguments.end(), "--out") ==
            launch.arguments.end()) {
            argumentStorage.insert(argumentStorage.end(), {"--out", OutDirectory().string()});
        }
        argumentStorage.insert(argumentStorage.end(), launch.arguments.begin(),
                               launch.arguments.end());
        const std::vector<std::string> removed = {"ZENTRIX_IOWARRIOR", "ZENTRIX_REGISTRY",
                                                  "ZENTRIX_TIMING",    "ZENTRIX_SAMPLING",
                                                  "XDG_CONFIG_HOME",   "HOME",
                                                  "DISPLAY",           "WAYLAND_DISPLAY",
                                                  "QT_QPA_PLATFORM",   "ZENTRIX_LOG"};
        std::vector<std::string> environmentStorage = launch.variables;
        environmentStorage.push_back("ZENTRIX_REGISTRY=" +
                                     (m_temp.Path() / "registry.reg").string());
        environmentStorage.push_back("XDG_CONFIG_HOME=" + (m_temp.Path() / "xdg").string());
        environmentStorage.push_back("HOME=" + (m_temp.Path() / "home").string());
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string text = *entry;
            if (std::find(removed.begin(), removed.end(), text.substr(0, text.find('='))) ==
                removed.end()) {
                environmentStorage.push_back(text);
            }
        }
        std::vector<char*> argv;
        for (std::string& argument : argumentStorage) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& entry : environmentStorage) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        const std::string outFile = (m_temp.Path() / "stdout.txt").string();
        const std::string errFile = (m_temp.Path() / "stderr.txt").string();
        m_startedAt = std::chrono::steady_clock::now();
        m_child = fork();
        ASSERT_GE(m_child, 0) << std::strerror(errno);
        if (m_child == 0) {
            const int in = open("/dev/null", O_RDONLY);
            const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
                dup2(err, 2) < 0) {
                _exit(126);
            }
            if (launch.fileSizeLimit) {
                signal(SIGXFSZ, SIG_IGN);
                const rlimit limit{*launch.fileSizeLimit, *launch.fileSizeLimit};
                setrlimit(RLIMIT_FSIZE, &limit);
            }
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
    }

    // Waits for the child started last; it is killed and the test fails past the time limit.
    Finished Wait() {
        Finished finished;
        int status = 0;
        while (waitpid(m_child, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() - m_startedAt > kChildTimeout) {
                kill(m_child, SIGKILL);
                waitpid(m_child, &status, 0);
                ADD_FAILURE() << "zentrix record did not finish within the time limit";
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        m_child = -1;
        finished.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        finished.out = ReadFile(m_temp.Path() / "stdout.txt");
        finished.err = ReadFile(m_temp.Path() / "stderr.txt");
        return finished;
    }

    void SignalAfter(std::chrono::milliseconds delay, int signalNumber) {
        std::this_thread::sleep_until(m_startedAt + delay);
        kill(m_child, signalNumber);
    }

    Finished Record(const Launch& launch) {
        Start(launch);
        return Wait();
    }

    // The one folder the session printed, checked to lie in OutDirectory.
    fs::path SessionFolder(const Finished& finished) const {
        const auto lines = Lines(finished.out);
        EXPECT_EQ(lines.size(), 1u) << finished.out;
        if (lines.empty()) {
            return {};
        }
        const fs::path folder = lines[0];
        EXPECT_EQ(folder.parent_path(), OutDirectory());
        EXPECT_TRUE(fs::is_directory(folder)) << folder;
        return folder;
    }

    std::vector<fs::path> OutEntries() const {
        std::vector<fs::path> entries;
        for (const auto& entry : fs::directory_iterator(OutDirectory())) {
            entries.push_back(entry.path());
        }
        return entries;
    }

    TempDir m_temp;
    pid_t m_child = -1;
    std::chrono::steady_clock::time_point m_startedAt;
};

// The rows after the header, each checked to have every column.
std::vector<std::vector<std::string>> EventRows(const fs::path& folder) {
    const Csv csv = ParseCsv(ReadFile(folder / "events.csv"));
    EXPECT_TRUE(csv.whole);
    EXPECT_FALSE(csv.rows.empty());
    if (csv.rows.empty()) {
        return {};
    }
    std::string header;
    for (const std::string& field : csv.rows.front()) {
        header += (header.empty() ? "" : ",") + field;
    }
    EXPECT_EQ(header, kHeader);
    std::vector<std::vector<std::string>> rows(csv.rows.begin() + 1, csv.rows.end());
    for (const auto& row : rows) {
        EXPECT_EQ(row.size(), kColumns);
    }
    return rows;
}

std::size_t CountRows(const std::vector<std::vector<std::string>>& rows, const std::string& kind,
                      const std::string& item = "") {
    return static_cast<std::size_t>(std::count_if(rows.begin(), rows.end(), [&](const auto& row) {
        return row.size() == kColumns && row[kKindColumn] == kind &&
               (item.empty() || row[5] == item);
    }));
}

TEST_F(RecordCommandTest, ShortSessionLeavesAFolderWithEveryFile) {
    const Finished finished =
        Record({{"--subject", "mouse-7", "--duration", "1.5", "--note", "first, \"trial\" day"},
                {"ZENTRIX_SAMPLING=serial"}});
    ASSERT_EQ(finished.exitCode, 0) << finished.err;
    const fs::path folder = SessionFolder(finished);
    EXPECT_TRUE(std::regex_match(folder.filename().string(),
                                 std::regex(R"(mouse-7_\d{4}-\d{2}-\d{2}_\d{2}-\d{2}-\d{2})")))
        << folder;
    EXPECT_EQ(ReadFile(folder / "HardwareSetup.xml"), kHardwareSetup);

    const auto rows = EventRows(folder);
    ASSERT_GE(rows.size(), 3u);
    EXPECT_EQ(rows.front()[kKindColumn], "sampling_started");
    EXPECT_EQ(rows.front()[1], "0.000000");
    EXPECT_EQ(rows.back()[kKindColumn], "sampling_stopped");
    EXPECT_EQ(rows.back()[3], "");
    EXPECT_EQ(CountRows(rows, "box_state"), 1u);
    double previous = -1.0;
    std::map<std::string, std::size_t> kinds;
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), kColumns);
        EXPECT_TRUE(ParseUtc(row[0])) << row[0];
        const double seconds = std::stod(row[1]);
        EXPECT_GE(seconds, previous);
        previous = seconds;
        ++kinds[row[kKindColumn]];
        if (row[kKindColumn] == "box_state") {
            EXPECT_EQ(row[3], "0");
            EXPECT_EQ(row[7], "1");
        }
        if (row[kKindColumn] == "rise" || row[kKindColumn] == "fall") {
            EXPECT_EQ(row[4], "Button box");
            EXPECT_FALSE(row[5].empty());
            EXPECT_EQ(row[7], row[kKindColumn] == "rise" ? "1" : "0");
        }
        if (row[kKindColumn] == "data_change") {
            EXPECT_EQ(row[4], "Licks");
            EXPECT_TRUE(std::regex_match(row[7], std::regex(R"(\d+ \(\+\d+\))"))) << row[7];
        }
    }
    // The bench presses the button once a second, and the lickometer reports once a second.
    EXPECT_GE(kinds["rise"] + kinds["fall"], 1u);

    const json session = json::parse(ReadFile(folder / "session.json"));
    EXPECT_EQ(session["subject"], "mouse-7");
    EXPECT_EQ(session["note"], "first, \"trial\" day");
    EXPECT_EQ(session["folder"], folder.filename().string());
    EXPECT_EQ(session["complete"], true);
    EXPECT_EQ(session["ended_by"], "duration");
    EXPECT_EQ(session["backend"], "simulator");
    EXPECT_EQ(session["sampling"], "serial");
    EXPECT_EQ(session["timing"], "default");
    EXPECT_EQ(session["setup_file"], "HardwareSetup.xml");
    EXPECT_EQ(session["start_utc"], rows.front()[0]);
    EXPECT_EQ(session["end_utc"], rows.back()[0]);
    EXPECT_NEAR(session["duration_s"].get<double>(), std::stod(rows.back()[1]), 1e-6);
    EXPECT_GE(session["duration_s"].get<double>(), 1.5);
    ASSERT_EQ(session["boxes"].size(), 1u);
    EXPECT_EQ(session["boxes"][0]["connected"], true);
    EXPECT_EQ(session["boxes"][0]["serial"], "00001001");
    EXPECT_EQ(session["events"], rows.size());
    for (const auto& [kind, count] : kinds) {
        EXPECT_EQ(session["totals"][kind], count) << kind;
    }
    std::map<std::string, std::string> lickometer;
    for (const json& device : session["devices"]) {
        if (device["name"] == "Licks") {
            for (const json& signal : device["signals"]) {
                lickometer[signal["name"]] = signal["value_type"];
            }
        }
    }
    EXPECT_EQ(lickometer, (std::map<std::string, std::string>{{"Number of licks", "integer"},
                                                              {"Duration of licks", "duration"}}));

    const Csv totals = ParseCsv(ReadFile(folder / "totals.csv"));
    ASSERT_TRUE(totals.whole);
    ASSERT_FALSE(totals.rows.empty());
    EXPECT_EQ(totals.rows.front(),
              (std::vector<std::string>{"box", "device", "item", "kind", "count", "last_value"}));
    std::map<std::string, std::size_t> totalKinds;
    for (std::size_t i = 1; i < totals.rows.size(); ++i) {
        ASSERT_EQ(totals.rows[i].size(), 6u);
        // A signal's last value is the one its last event in events.csv carries.
        if (totals.rows[i][3] == "data_change") {
            const auto last = std::find_if(rows.rbegin(), rows.rend(), [&](const auto& row) {
                return row[4] == totals.rows[i][1] && row[5] == totals.rows[i][2] &&
                       row[6] == "data_change";
            });
            ASSERT_NE(last, rows.rend());
            EXPECT_EQ((*last)[7].substr(0, (*last)[7].find(' ')), totals.rows[i][5]);
        }
        totalKinds[totals.rows[i][3]] += std::stoul(totals.rows[i][4]);
    }
    EXPECT_EQ(totalKinds, kinds);
}

TEST_F(RecordCommandTest, RepeatedCommandsShowAsCommandEvents) {
    const Finished finished =
        Record({{"--subject", "rat", "--duration", "2", "--send-every", "0.2", kPellets,
                 "Drop pellet", "--send-every", "0.5", "Top", "White spot on"}});
    ASSERT_EQ(finished.exitCode, 0) << finished.err;
    const fs::path folder = SessionFolder(finished);
    const auto rows = EventRows(folder);
    const json session = json::parse(ReadFile(folder / "session.json"));
    ASSERT_EQ(session["send_every"].size(), 2u);
    const std::size_t pellets = session["send_every"][0]["sent"].get<std::size_t>();
    const std::size_t spots = session["send_every"][1]["sent"].get<std::size_t>();
    EXPECT_GE(pellets, 10u);
    EXPECT_LE(pellets, 11u);
    EXPECT_GE(spots, 4u);
    EXPECT_LE(spots, 5u);
    const std::size_t dropped = CountRows(rows, "command", "Drop pellet");
    EXPECT_GE(dropped + 1, pellets);
    EXPECT_LE(dropped, pellets);
    const std::size_t spotsOn = CountRows(rows, "command", "White spot on");
    EXPECT_GE(spotsOn + 1, spots);
    EXPECT_LE(spotsOn, spots);
    for (const auto& row : rows) {
        if (row.size() == kColumns && row[5] == "Drop pellet") {
            EXPECT_EQ(row[4], kPellets);
            EXPECT_FALSE(row[2].empty());
        }
    }
}

TEST_F(RecordCommandTest, AFolderOfTheSameSecondGetsTheNextNumber) {
    const std::time_t now = std::time(nullptr);
    std::vector<std::string> taken;
    for (int ahead = 0; ahead <= 5; ++ahead) {
        const std::string name = "clash_" + LocalFolderTime(now + ahead);
        fs::create_directory(OutDirectory() / name);
        fs::create_directory(OutDirectory() / (name + "_2"));
        taken.push_back(name);
    }
    const Finished finished = Record({{"--subject", "clash", "--duration", "0.2"}});
    ASSERT_EQ(finished.exitCode, 0) << finished.err;
    const std::string name = SessionFolder(finished).filename().string();
    ASSERT_GT(name.size(), 2u);
    EXPECT_EQ(name.substr(name.size() - 2), "_3") << name;
    EXPECT_NE(std::find(taken.begin(), taken.end(), name.substr(0, name.size() - 2)), taken.end())
        << name;
}

TEST_F(RecordCommandTest, SubjectThatNamesNoFolderCreatesNothing) {
    for (const std::string subject : {"", "a/b", "../up", ".hidden", "tab\there", "del\x7f"}) {
        const Finished finished = Record({{"--subject", subject, "--duration", "1"}});
        EXPECT_EQ(finished.exitCode, 1) << subject;
        EXPECT_EQ(finished.err.rfind("zentrix: ", 0), 0u) << finished.err;
        EXPECT_EQ(Lines(finished.err).size(), 1u) << finished.err;
        EXPECT_TRUE(finished.out.empty()) << finished.out;
        EXPECT_TRUE(OutEntries().empty()) << subject;
    }
    const Finished missing = Record({{"--duration", "1"}});
    EXPECT_EQ(missing.exitCode, 2) << missing.err;
    EXPECT_TRUE(OutEntries().empty());
}

TEST_F(RecordCommandTest, MissingBoxStopsTheSessionBeforeAnyFolderUnlessAllowed) {
    const Finished finished =
        Record({{"--subject", "none", "--duration", "1"}, {"ZENTRIX_IOWARRIOR=none"}, false});
    EXPECT_EQ(finished.exitCode, 3) << finished.err;
    EXPECT_NE(finished.err.find("--allow-missing-boxes"), std::string::npos) << finished.err;
    EXPECT_TRUE(OutEntries().empty());

    const Finished allowed =
        Record({{"--subject", "none", "--duration", "0.3", "--allow-missing-boxes"},
                {"ZENTRIX_IOWARRIOR=none"},
                false});
    ASSERT_EQ(allowed.exitCode, 0) << allowed.err;
    const auto rows = EventRows(SessionFolder(allowed));
    ASSERT_EQ(CountRows(rows, "box_state"), 1u);
    for (const auto& row : rows) {
        if (row.size() == kColumns && row[kKindColumn] == "box_state") {
            EXPECT_EQ(row[3], "-1");
            EXPECT_EQ(row[7], "0");
        }
    }
}

TEST_F(RecordCommandTest, AnOutDirectoryThatCannotHoldFoldersIsAnError) {
    const fs::path file = m_temp.Write("plain-file", "x");
    const Finished finished =
        Record({{"--subject", "s", "--duration", "1", "--out", file.string()}});
    EXPECT_EQ(finished.exitCode, 1) << finished.err;
    EXPECT_NE(finished.err.find("zentrix: cannot create folder"), std::string::npos)
        << finished.err;
}

TEST_F(RecordCommandTest, InterruptOrTerminateEndsTheSessionCleanly) {
    for (const int signalNumber : {SIGINT, SIGTERM}) {
        Start({{"--subject", "stop-" + std::to_string(signalNumber)}});
        SignalAfter(std::chrono::milliseconds(1200), signalNumber);
        const Finished finished = Wait();
        ASSERT_EQ(finished.exitCode, 0) << finished.err;
        const fs::path folder = SessionFolder(finished);
        const auto rows = EventRows(folder);
        ASSERT_FALSE(rows.empty());
        EXPECT_EQ(rows.front()[kKindColumn], "sampling_started");
        EXPECT_EQ(rows.back()[kKindColumn], "sampling_stopped");
        const json session = json::parse(ReadFile(folder / "session.json"));
        EXPECT_EQ(session["complete"], true);
        EXPECT_EQ(session["ended_by"], "signal");
        EXPECT_TRUE(fs::exists(folder / "totals.csv"));
    }
}

TEST_F(RecordCommandTest, KilledSessionKeepsItsRowsButTheLastMoment) {
    Start({{"--subject", "killed", "--send-every", "0.1", kPellets, "Drop pellet"}});
    SignalAfter(std::chrono::milliseconds(3000), SIGKILL);
    const auto killedAt = std::chrono::system_clock::now();
    const Finished finished = Wait();
    EXPECT_EQ(finished.exitCode, 128 + SIGKILL);
    const fs::path folder = SessionFolder(finished);
    const auto rows = EventRows(folder);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows.front()[kKindColumn], "sampling_started");
    const auto last = ParseUtc(rows.back()[0]);
    ASSERT_TRUE(last) << rows.back()[0];
    EXPECT_GE(*last, killedAt - std::chrono::milliseconds(1500));
    const json session = json::parse(ReadFile(folder / "session.json"));
    EXPECT_EQ(session["complete"], false);
    EXPECT_TRUE(session["end_utc"].is_null());
}

TEST_F(RecordCommandTest, FailedWriteEndsWithStatusOne) {
    Launch launch{{"--subject", "full", "--duration", "10", "--send-every", "0.01", kPellets,
                   "Drop pellet", "--send-every", "0.01", "Top", "White spot on"}};
    launch.fileSizeLimit = 6000;
    const Finished finished = Record(launch);
    EXPECT_EQ(finished.exitCode, 1) << finished.err;
    EXPECT_NE(finished.err.find("zentrix: writing "), std::string::npos) << finished.err;
    EXPECT_NE(finished.err.find("events.csv failed: File too large"), std::string::npos)
        << finished.err;
    EXPECT_LT(std::chrono::steady_clock::now() - m_startedAt, std::chrono::seconds(8));
}

}  // namespace
