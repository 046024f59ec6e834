// Whether a window may be shown: a toolkit started without a display aborts the process, so the
// answer must be "no" whenever the toolkit could not start.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/Display.h"
#include "support/TempDir.h"

namespace {

using zentrix::testing::ScopedEnv;

struct Environment {
    std::optional<std::string> display;
    std::optional<std::string> wayland;
    std::optional<std::string> platform;
};

bool AvailableWith(const Environment& environment) {
    const ScopedEnv display("DISPLAY", environment.display);
    const ScopedEnv wayland("WAYLAND_DISPLAY", environment.wayland);
    const ScopedEnv platform("QT_QPA_PLATFORM", environment.platform);
    return zentrix::DisplayAvailable();
}

TEST(Display, NoneWithoutAnyDisplayOrPlatform) {
    EXPECT_FALSE(AvailableWith({}));
    EXPECT_FALSE(AvailableWith({"", "", ""}));
}

TEST(Display, ALocalXDisplayCountsOnlyWhileItsServerSocketExists) {
    // No X server listens on display 987 on a test machine.
    EXPECT_FALSE(AvailableWith({":987", {}, {}}));
    EXPECT_FALSE(AvailableWith({":987.0", {}, {}}));
    EXPECT_FALSE(AvailableWith({":x", {}, {}}));
    EXPECT_TRUE(AvailableWith({"remotehost:0", {}, {}}));
}

TEST(Display, AWaylandDisplayCounts) {
    EXPECT_TRUE(AvailableWith({{}, "wayland-0", {}}));
    EXPECT_FALSE(AvailableWith({{}, "wayland-0", "xcb"}));
}

TEST(Display, APlatformThatNeedsNoServerCounts) {
    EXPECT_TRUE(AvailableWith({{}, {}, "offscreen"}));
    EXPECT_TRUE(AvailableWith({{}, {}, "vnc:size=800x600"}));
    EXPECT_FALSE(AvailableWith({{}, {}, "xcb"}));
    EXPECT_FALSE(AvailableWith({":987", {}, "xcb"}));
    EXPECT_FALSE(AvailableWith({{}, {}, "wayland"}));
}

// An invisible display (a virtual X server, the offscreen platform) would leave the dialog
// waiting for input nobody can give, so the advice names only ways a person can reach it.
TEST(Display, TheAdviceNamesOnlyWaysAPersonCanReachTheDialog) {
    const std::string advice = zentrix::NoDisplayAdvice();
    EXPECT_NE(advice.find("no display"), std::string::npos);
    EXPECT_NE(advice.find("desktop session"), std::string::npos);
    EXPECT_NE(advice.find("ssh -X"), std::string::npos);
    EXPECT_EQ(advice.find("xvfb-run"), std::string::npos);
    EXPECT_EQ(advice.find("offscreen"), std::string::npos);
}

}  // namespace
