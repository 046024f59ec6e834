// Runs the built zentrix monitor in a pseudo-terminal of a fixed size and replays what it wrote
// through a terminal emulator, to see the screen and the lines that scrolled off as a user would.
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vterm.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "support/HardwareSetupXml.h"
#include "support/TempDir.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using zentrix::testing::TempDir;

constexpr const char* kHeading = "zentrix monitor";
constexpr const char* kLongName = "Operant chamber 2 left lever tester";

// Twelve TTL port testers on TTL ports 1 to 12 of the simulated box.
std::string TwelveTesters() {
    std::vector<zentrix::testing::StoredDevice> testers;
    for (int port = 1; port <= 12; ++port) {
        testers.push_back(
            {port, -1, 4, port - 1,
             port == 2 ? std::string(kLongName) : "Button box " + std::to_string(port)});
    }
    return zentrix::testing::HardwareSetupXml(testers);
}

fs::path CliPath() {
    return fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "cli" / "zentrix";
}

void AppendUtf8(std::string& text, std::uint32_t codePoint) {
    if (codePoint < 0x80) {
        text += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        text += static_cast<char>(0xC0 | (codePoint >> 6));
        text += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        text += static_cast<char>(0xE0 | (codePoint >> 12));
        text += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (codePoint >> 18));
        text += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

// A line of cells as text, with trailing blanks removed, and how many of its cells are used.
struct ScreenLine {
    std::string text;
    int usedColumns = 0;
};

ScreenLine LineOfCells(int columns, const auto& cellAt) {
    ScreenLine line;
    std::string text;
    for (int column = 0; column < columns; ++column) {
        const VTermScreenCell cell = cellAt(column);
        if (cell.chars[0] == 0) {
            text += ' ';
            continue;
        }
        for (int i = 0; i < VTERM_MAX_CHARS_PER_CELL && cell.chars[i] != 0; ++i) {
            AppendUtf8(text, cell.chars[i]);
        }
        if (cell.chars[0] != ' ') {
            line.usedColumns = column + 1;
        }
    }
    line.text = text.substr(0, text.find_last_not_of(' ') + 1);
    return line;
}

// The terminal as libvterm models it, keeping every line that scrolls off its top.
class Terminal {
public:
    Terminal(int columns, int rows) : m_columns(columns), m_rows(rows) {
        m_vterm = vterm_new(rows, columns);
        vterm_set_utf8(m_vterm, 1);
        m_screen = vterm_obtain_screen(m_vterm);
        m_callbacks.sb_pushline = &Terminal::PushLine;
        vterm_screen_set_callbacks(m_screen, &m_callbacks, this);
        vterm_screen_reset(m_screen, 1);
    }
    ~Terminal() { vterm_free(m_vterm); }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    void Write(const std::string& bytes) { vterm_input_write(m_vterm, bytes.data(), bytes.size()); }

    std::vector<ScreenLine> Screen() const {
        std::vector<ScreenLine> lines;
        lines.reserve(static_cast<std::size_t>(m_rows));
        for (int row = 0; row < m_rows; ++row) {
            lines.push_back(LineOfCells(m_columns, [&](int column) {
                VTermScreenCell cell{};
                vterm_screen_get_cell(m_screen, VTermPos{row, column}, &cell);
                return cell;
            }));
        }
        return lines;
    }

    const std::vector<std::string>& ScrolledOff() const { return m_scrolledOff; }

private:
    static int PushLine(int columns, const VTermScreenCell* cells, void* user) {
        auto* terminal = static_cast<Terminal*>(user);
        terminal->m_scrolledOff.push_back(
            LineOfCells(columns, [&](int column) { return cells[column]; }).text);
        return 1;
    }

    int m_columns;
    int m_rows;
    VTerm* m_vterm = nullptr;
    VTermScreen* m_screen = nullptr;
    VTermScreenCallbacks m_callbacks{};
    std::vector<std::string> m_scrolledOff;
};

struct TerminalRun {
    int exitCode = -1;
    std::string output;
};

class MonitorTerminalTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(CliPath())) << CliPath() << " is missing";
        fs::create_directories(m_temp.Path() / "config");
        std::ofstream(m_temp.Path() / "config" / "HardwareSetup.xml") << TwelveTesters();
    }

    // Runs the monitor for two seconds on a terminal of the given size and returns all it wrote.
    TerminalRun RunMonitor(int columns, int rows) {
        std::vector<std::string> arguments = {CliPath().string(),
                                              "--simulate",
                                              "--config-dir",
                                              (m_temp.Path() / "config").string(),
                                              "monitor",
                                              "--duration",
                                              "2"};
        std::vector<std::string> environment;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string text = *entry;
            const std::string name = text.substr(0, text.find('='));
            if (name != "ZENTRIX_IOWARRIOR" && name != "ZENTRIX_REGISTRY" &&
                name != "XDG_CONFIG_HOME" && name != "HOME" && name != "DISPLAY" &&
                name != "WAYLAND_DISPLAY" && name != "TERM") {
                environment.push_back(text);
            }
        }
        environment.emplace_back("ZENTRIX_REGISTRY=" + (m_temp.Path() / "registry.reg").string());
        environment.emplace_back("XDG_CONFIG_HOME=" + (m_temp.Path() / "xdg").string());
        environment.emplace_back("HOME=" + (m_temp.Path() / "home").string());
        environment.emplace_back("TERM=xterm");
        std::vector<char*> argv;
        argv.reserve(arguments.size() + 1);
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        envp.reserve(environment.size() + 1);
        for (std::string& entry : environment) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);

        winsize size{};
        size.ws_col = static_cast<unsigned short>(columns);
        size.ws_row = static_cast<unsigned short>(rows);
        int master = -1;
        const pid_t child = forkpty(&master, nullptr, nullptr, &size);
        TerminalRun run;
        if (child < 0) {
            ADD_FAILURE() << "forkpty failed: " << std::strerror(errno);
            return run;
        }
        if (child == 0) {
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        // The slave side closes when the child ends, and reading the master then fails with EIO.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        char buffer[4096];
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd ready{master, POLLIN, 0};
            if (poll(&ready, 1, 100) <= 0) {
                continue;
            }
            const ssize_t count = read(master, buffer, sizeof buffer);
            if (count > 0) {
                run.output.append(buffer, static_cast<std::size_t>(count));
            } else if (count == 0 || errno != EINTR) {
                break;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ADD_FAILURE() << "the monitor did not finish within the time limit";
            kill(child, SIGKILL);
        }
        close(master);
        int status = 0;
        waitpid(child, &status, 0);
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return run;
    }

    static std::size_t CountHeadings(const std::vector<std::string>& lines) {
        return static_cast<std::size_t>(std::count_if(
            lines.begin(), lines.end(),
            [](const std::string& line) { return line.find(kHeading) != std::string::npos; }));
    }

    static std::vector<std::string> Texts(const std::vector<ScreenLine>& lines) {
        std::vector<std::string> texts;
        texts.reserve(lines.size());
        for (const ScreenLine& line : lines) {
            texts.push_back(line.text);
        }
        return texts;
    }

    // The checks every terminal size shares; returns the screen's text.
    std::vector<std::string> CheckRedrawsInPlace(int columns, int rows) {
        const TerminalRun run = RunMonitor(columns, rows);
        EXPECT_EQ(run.exitCode, 0) << run.output;
        std::size_t drawn = 0;
        for (std::size_t at = run.output.find(kHeading); at != std::string::npos;
             at = run.output.find(kHeading, at + 1)) {
            ++drawn;
        }
        EXPECT_GE(drawn, 10U) << "the table was drawn only " << drawn << " times";

        // The session's totals follow the last table once the monitor has stopped; the table is
        // checked as it stood before them.
        const std::size_t totalsAt = run.output.find("totals over ");
        EXPECT_NE(totalsAt, std::string::npos) << run.output;
        EXPECT_NE(run.output.find("Button 1 presses ", totalsAt), std::string::npos);
        Terminal terminal(columns, rows);
        terminal.Write(run.output.substr(0, totalsAt));
        const std::vector<ScreenLine> screen = terminal.Screen();
        std::string shown;
        for (const ScreenLine& line : screen) {
            shown += line.text + '\n';
        }
        SCOPED_TRACE("screen:\n" + shown);
        EXPECT_EQ(CountHeadings(terminal.ScrolledOff()), 0U);
        EXPECT_TRUE(terminal.ScrolledOff().empty()) << terminal.ScrolledOff().front();
        std::vector<std::string> texts = Texts(screen);
        EXPECT_EQ(CountHeadings(texts), 1U);
        EXPECT_EQ(texts.front().rfind(kHeading, 0), 0U);
        EXPECT_TRUE(std::regex_search(texts.front(), std::regex(R"(  [12]\.\d s at 10 Hz)")));
        for (const ScreenLine& line : screen) {
            EXPECT_LT(line.usedColumns, columns) << line.text;
        }
        return texts;
    }

    TempDir m_temp;
};

std::size_t CountMatching(const std::vector<std::string>& lines, const std::regex& pattern) {
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(),
                      [&](const std::string& line) { return std::regex_search(line, pattern); }));
}

const std::regex kDeviceLineWithTotals(R"(  Button 1 presses: \d+  Button 2 presses: \d+( |$))");

TEST_F(MonitorTerminalTest, AWideShortTerminalShowsEveryDeviceOnALineOfItsOwn) {
    const std::vector<std::string> screen = CheckRedrawsInPlace(200, 50);
    EXPECT_EQ(CountMatching(screen, kDeviceLineWithTotals), 12U);
    EXPECT_EQ(CountMatching(screen, std::regex("^Operant chamber 2 left lever tester  ")), 1U);
}

TEST_F(MonitorTerminalTest, ANarrowTerminalKeepsEveryTotalWithShortenedNames) {
    const std::vector<std::string> screen = CheckRedrawsInPlace(60, 24);
    EXPECT_EQ(CountMatching(screen, kDeviceLineWithTotals), 12U);
    EXPECT_EQ(CountMatching(screen, std::regex("^Button box 12  ")), 1U);
    EXPECT_EQ(CountMatching(screen, std::regex(kLongName)), 0U);
}

TEST_F(MonitorTerminalTest, ATallTerminalShowsTheFullTable) {
    const std::vector<std::string> screen = CheckRedrawsInPlace(200, 80);
    ASSERT_GE(screen.size(), 2U);
    EXPECT_TRUE(std::regex_search(screen[1], std::regex("^DEVICE +SIGNAL +TYPE +VALUE +TOTAL$")));
    EXPECT_EQ(CountMatching(screen, std::regex(R"(Button \d presses +integer +\+\d+ +\d+$)")), 24U);
}

TEST_F(MonitorTerminalTest, ATinyTerminalCountsTheDevicesLeftOut) {
    const std::vector<std::string> screen = CheckRedrawsInPlace(40, 8);
    EXPECT_EQ(std::count(screen.begin(), screen.end(),
                         "\xE2\x80\xA6 7 more devices (enlarge the terminal)"),
              1)
        << ::testing::PrintToString(screen);
}

}  // namespace
