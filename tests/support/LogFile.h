// Sends the plug-in's log to a file in a scratch directory for one test, and switches logging
// back to what the environment asks for afterwards.
#ifndef ZENTRIX_TESTS_SUPPORT_LOGFILE_H
#define ZENTRIX_TESTS_SUPPORT_LOGFILE_H

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Log.h"
#include "support/TempDir.h"

namespace zentrix::testing {

class LogFile {
public:
    explicit LogFile(const std::string& level = "debug") : m_path(m_dir.Path() / "zentrix.log") {
        ConfigureLog(level + ":" + m_path.string());
    }
    ~LogFile() {
        const char* setting = std::getenv("ZENTRIX_LOG");
        ConfigureLog(setting != nullptr ? setting : "");
    }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    const std::filesystem::path& Path() const { return m_path; }

    std::string Text() const {
        std::ifstream in(m_path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // The lines that contain every one of the pieces.
    std::vector<std::string> Lines(std::initializer_list<std::string_view> pieces) const {
        std::vector<std::string> found;
        std::istringstream in(Text());
        for (std::string line; std::getline(in, line);) {
            bool all = true;
            for (const std::string_view piece : pieces) {
                all = all && line.find(piece) != std::string::npos;
            }
            if (all) {
                found.push_back(line);
            }
        }
        return found;
    }

private:
    TempDir m_dir;
    std::filesystem::path m_path;
};

}  // namespace zentrix::testing

#endif
