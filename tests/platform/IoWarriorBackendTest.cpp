#include <gtest/gtest.h>

#include <string>

#include "platform/IoWarriorBackend.h"
#include "simulator/SimulatedBench.h"
#include "support/TempDir.h"

namespace {

using zentrix::CreateIoWarriorLibrary;
using zentrix::VirtualClock;

bool IsSimulator(const zentrix::IoWarriorBackendChoice& choice) {
    return dynamic_cast<zentrix::sim::SimulatedBench*>(choice.library.get()) != nullptr;
}

TEST(IoWarriorBackend, SettingsChooseTheSimulatorOrNoController) {
    VirtualClock clock;
    const auto demo = CreateIoWarriorLibrary("sim", clock);
    EXPECT_TRUE(IsSimulator(demo));
    EXPECT_TRUE(demo.diagnostic.empty());
    EXPECT_NE(demo.library->OpenDevice(), nullptr);

    for (const char* quiet : {"", "none", "kernel"}) {
        const auto choice = CreateIoWarriorLibrary(quiet, clock);
        EXPECT_TRUE(choice.diagnostic.empty()) << quiet;
        EXPECT_EQ(choice.library->OpenDevice(), nullptr) << quiet;
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
        {"simulator", "simulator"},
        {"sim:", "names no bench file"},
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

}  // namespace
