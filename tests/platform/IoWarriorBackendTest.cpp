#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "platform/IoWarriorBackend.h"
#include "platform/IoWarriorBackendRegistry.h"
#include "simulator/SimulatedBench.h"
#include "support/LogFile.h"
#include "support/TempDir.h"

namespace {

using zentrix::CreateIoWarriorLibrary;
using zentrix::VirtualClock;

bool IsSimulator(const zentrix::IoWarriorBackendChoice& choice) {
    return dynamic_cast<zentrix::sim::SimulatedBench*>(choice.library.get()) != nullptr;
}

TEST(IoWarriorBackend, TheSimulatorAndNoControllerRegisterThemselves) {
    const zentrix::IoWarriorBackendInfo* sim = zentrix::FindIoWarriorBackend("sim");
    ASSERT_NE(sim, nullptr);
    EXPECT_EQ(sim->usage, "sim[:BENCH.json]");
    EXPECT_FALSE(sim->description.empty());
    const zentrix::IoWarriorBackendInfo* none = zentrix::FindIoWarriorBackend("none");
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none->usage, "none");
    EXPECT_EQ(zentrix::FindIoWarriorBackend("simulator"), nullptr);

    std::vector<std::string_view> names;
    for (const auto& backend : zentrix::RegisteredIoWarriorBackends()) {
        names.push_back(backend.name);
    }
    EXPECT_NE(std::find(names.begin(), names.end(), "sim"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "none"), names.end());
}

TEST(IoWarriorBackend, SettingsChooseTheSimulatorOrNoController) {
    VirtualClock clock;
    const auto demo = CreateIoWarriorLibrary("sim", clock);
    EXPECT_TRUE(IsSimulator(demo));
    EXPECT_TRUE(demo.diagnostic.empty());
    EXPECT_NE(demo.library->OpenDevice(), nullptr);

    const auto none = CreateIoWarriorLibrary("none", clock);
    EXPECT_TRUE(none.diagnostic.empty());
    EXPECT_EQ(none.library->OpenDevice(), nullptr);
}

TEST(IoWarriorBackend, AnUnsetSettingMeansTheKernelBackend) {
    VirtualClock clock;
    const auto unset = CreateIoWarriorLibrary("", clock);
    const auto kernel = CreateIoWarriorLibrary("kernel", clock);
    if (zentrix::FindIoWarriorBackend("kernel") != nullptr) {
        EXPECT_EQ(unset.diagnostic, "");
        const zentrix::IoWarriorLibrary& fromUnset = *unset.library;
        const zentrix::IoWarriorLibrary& fromKernel = *kernel.library;
        EXPECT_EQ(typeid(fromUnset), typeid(fromKernel));
    } else {
        // A build without the kernel backend says so and lists what it has.
        EXPECT_NE(unset.diagnostic.find("\"kernel\""), std::string::npos) << unset.diagnostic;
        EXPECT_NE(unset.diagnostic.find("sim[:BENCH.json]"), std::string::npos) << unset.diagnostic;
        EXPECT_EQ(unset.library->OpenDevice(), nullptr);
    }
}

TEST(IoWarriorBackend, BenchFileFromThePathAfterSim) {
    VirtualClock clock;
    zentrix::testing::TempDir dir;
    const auto bench = dir.Write(
        "bench.json", R"({"controllers": [{"box_id": 4}, {"box_id": 9, "product_id": 5379}]})");
    const auto choice = CreateIoWarriorLibrary("sim:" + bench.string(), clock);
    ASSERT_TRUE(IsSimulator(choice)) << choice.diagnostic;
    EXPECT_EQ(choice.library->GetNumDevs(), 0);  // nothing is open before OpenDevice
    choice.library->OpenDevice();
    EXPECT_EQ(choice.library->GetNumDevs(), 2);
}

TEST(IoWarriorBackend, UnusableSettingsRunWithoutControllersAndSayWhy) {
    VirtualClock clock;
    zentrix::testing::TempDir dir;
    const auto invalid = dir.Write("invalid.json", R"({"controllers": [{"box_id": 300}]})");
    const auto broken = dir.Write("broken.json", "{\"controllers\": [");
    struct Case {
        std::string setting;
        std::string mentions;
    };
    const Case cases[] = {
        {"simulator", "sim[:BENCH.json]"},
        {"sim:", "nothing after the colon"},
        {"none:x", "nothing after the colon"},
        {"sim:" + (dir.Path() / "missing.json").string(), "missing.json"},
        {"sim:" + invalid.string(), "box_id"},
        {"sim:" + broken.string(), "broken.json"},
    };
    for (const Case& c : cases) {
        const auto choice = CreateIoWarriorLibrary(c.setting, clock);
        EXPECT_FALSE(IsSimulator(choice)) << c.setting;
        EXPECT_EQ(choice.library->OpenDevice(), nullptr) << c.setting;
        EXPECT_NE(choice.diagnostic.find(c.mentions), std::string::npos)
            << c.setting << ": " << choice.diagnostic;
        EXPECT_NE(choice.diagnostic.find("running without IO boxes"), std::string::npos);
    }
}

TEST(IoWarriorBackend, TheChoiceIsLoggedAndAFallbackSaysWhy) {
    VirtualClock clock;
    const zentrix::testing::LogFile log("info");
    CreateIoWarriorLibrary("sim", clock);
    EXPECT_EQ(log.Lines({"zentrix: info: backend: using sim ("}).size(), 1u) << log.Text();
    const auto fallback = CreateIoWarriorLibrary("simulator", clock);
    EXPECT_EQ(log.Lines({"zentrix: warning: backend: ", fallback.diagnostic}).size(), 1u)
        << log.Text();
}

TEST(IoWarriorBackend, AFallbackWritesNothingWhileLoggingIsOff) {
    VirtualClock clock;
    zentrix::ConfigureLog("");
    ::testing::internal::CaptureStderr();
    const auto fallback = CreateIoWarriorLibrary("simulator", clock);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(fallback.diagnostic.empty());
}

}  // namespace
