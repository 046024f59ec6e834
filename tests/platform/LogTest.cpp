#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/Log.h"
#include "support/LogFile.h"
#include "support/TempDir.h"

namespace {

using zentrix::Log;
using zentrix::LogEnabled;
using zentrix::LogLevel;
using zentrix::testing::LogFile;

TEST(Log, WritesOneLineForEachMessageAtOrAboveTheLevel) {
    const LogFile log("warning");
    EXPECT_TRUE(LogEnabled(LogLevel::Warning));
    EXPECT_FALSE(LogEnabled(LogLevel::Info));
    Log(LogLevel::Error, "area", "an error");
    Log(LogLevel::Warning, "area", "a warning");
    Log(LogLevel::Info, "area", "some news");
    Log(LogLevel::Debug, "area", "a detail");
    EXPECT_EQ(log.Text(), "zentrix: error: area: an error\nzentrix: warning: area: a warning\n");
}

TEST(Log, OffOrAnUnknownLevelWritesNothingAndBuildsNoMessage) {
    zentrix::testing::TempDir dir;
    const auto path = dir.Path() / "zentrix.log";
    for (const std::string& setting : {std::string(), "verbose:" + path.string()}) {
        ::testing::internal::CaptureStderr();
        zentrix::ConfigureLog(setting);
        int built = 0;
        zentrix::LogLazily(LogLevel::Error, "area", [&] {
            ++built;
            return std::string("an error");
        });
        Log(LogLevel::Error, "area", "an error");
        EXPECT_FALSE(LogEnabled(LogLevel::Error)) << setting;
        EXPECT_EQ(built, 0) << setting;
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << setting;
        EXPECT_FALSE(std::filesystem::exists(path)) << setting;
    }
    zentrix::ConfigureLog("");
}

TEST(Log, LazyMessagesAreBuiltOnlyWhenWritten) {
    const LogFile log("info");
    int built = 0;
    const auto make = [&] {
        ++built;
        return "message " + std::to_string(built);
    };
    zentrix::LogLazily(LogLevel::Debug, "area", make);
    zentrix::LogLazily(LogLevel::Info, "area", make);
    EXPECT_EQ(built, 1);
    EXPECT_EQ(log.Text(), "zentrix: info: area: message 1\n");
}

}  // namespace
