// The plug-in's side of the dialog library: without a usable library nothing is shown, the
// dialog counts as cancelled, the devices stay as they were, and messages still reach the user.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "mapping/ToolkitDialogRunner.h"
#include "model/Catalog.h"
#include "model/Device.h"
#include "setup/HardwareSetup.h"
#include "simulator/SimulatedBench.h"
#include "support/LogFile.h"
#include "support/SetupQueries.h"
#include "support/TempDir.h"

namespace {

using zentrix::ToolkitDialogRunner;
using zentrix::testing::DeviceIds;
using zentrix::testing::LogFile;
using zentrix::testing::TempDir;

// Records whether the runner ever handed it a window.
class RecordingController final : public zentrix::MappingDialogController {
public:
    void Open(zentrix::MappingDialogWindow&) override { opened = true; }
    void OnBoxSelectionChanged() override {}
    bool OnOk() override { return true; }
    void OnCancel() override {}
    void OnDropDownChanged(int, int, const std::string&, const std::string&) override {}
    bool OnEditFinished(int, int, const std::string&) override { return true; }
    void OnTabKey(bool) override {}

    bool opened = false;
};

class ToolkitDialogRunnerTest : public ::testing::Test {
protected:
    ToolkitDialogRunnerTest()
        : bench(Config(), clock), setup(std::make_unique<TCHiIobHardwareSetup>(bench, clock)) {
        setup->ChangeDevices([this] {
            ASSERT_TRUE(
                setup->AddDevice(0, 5,
                                 std::make_unique<TCHiIobDevice>(
                                     setup.get(), "dispenser", eDeviceTypePelletDispenser, -1, 4)));
            ASSERT_TRUE(
                setup->AddDevice(0, 7,
                                 std::make_unique<TCHiIobDevice>(
                                     setup.get(), "custom", eDeviceTypeCustomHardware, -1, 9)));
        });
    }
    ~ToolkitDialogRunnerTest() override {
        for (const auto& error : bench.ProtocolErrors()) {
            ADD_FAILURE() << error.timeMs << " ms: " << error.text;
        }
    }

    static zentrix::sim::BenchConfig Config() {
        zentrix::sim::BenchConfig config;
        zentrix::sim::BoxConfig box;
        box.ttlDevices = {{5, zentrix::sim::TtlDevice::PelletDispenser}};
        config.boxes.push_back(box);
        return config;
    }

    zentrix::VirtualClock clock;
    zentrix::sim::SimulatedBench bench;
    std::unique_ptr<TCHiIobHardwareSetup> setup;
};

TEST_F(ToolkitDialogRunnerTest, AMissingLibraryShowsNothingAndChangesNothing) {
    const LogFile log("warning");
    const TempDir directory;
    ToolkitDialogRunner runner(directory.Path() / "libzentrix_mapping_qt.so");
    RecordingController controller;
    EXPECT_EQ(runner.Run(controller), zentrix::DialogResult::Rejected);
    EXPECT_FALSE(controller.opened);

    EXPECT_FALSE(setup->RunMappingDialog(runner, false));
    EXPECT_EQ(DeviceIds(*setup), (std::vector<std::int32_t>{4, 9}));
    EXPECT_FALSE(
        log.Lines({"mapping", "libzentrix_mapping_qt.so", "is not found beside the plug-in",
                   "install the zentrix-mapping-dialog package"})
            .empty())
        << log.Text();
}

TEST_F(ToolkitDialogRunnerTest, ALibraryThatCannotBeLoadedIsReportedWithTheLoadersReason) {
    const LogFile log("warning");
    const TempDir directory;
    const std::filesystem::path path = directory.Path() / "libzentrix_mapping_qt.so";
    std::ofstream(path) << "not a shared library";
    ToolkitDialogRunner runner(path);
    RecordingController controller;
    EXPECT_EQ(runner.Run(controller), zentrix::DialogResult::Rejected);
    EXPECT_FALSE(controller.opened);
    EXPECT_FALSE(
        log.Lines({"mapping", "cannot load the dialog library", "libzentrix_mapping_qt.so"})
            .empty())
        << log.Text();
    EXPECT_TRUE(log.Lines({"mapping", "install the zentrix-mapping-dialog package"}).empty())
        << log.Text();
}

TEST_F(ToolkitDialogRunnerTest, ALibraryWithoutTheEntryPointIsRefused) {
    const LogFile log("warning");
    // A real shared library, but not one of ours.
    ToolkitDialogRunner runner("libm.so.6");
    RecordingController controller;
    EXPECT_EQ(runner.Run(controller), zentrix::DialogResult::Rejected);
    EXPECT_FALSE(controller.opened);
    EXPECT_FALSE(setup->RunMappingDialog(runner, false));
    EXPECT_EQ(DeviceIds(*setup), (std::vector<std::int32_t>{4, 9}));
    EXPECT_FALSE(log.Lines({"mapping", "libm.so.6 is not a dialog library"}).empty()) << log.Text();
}

TEST_F(ToolkitDialogRunnerTest, ALibraryPathRelativeToTheCurrentDirectoryIsNeverLoaded) {
    const LogFile log("warning");
    for (const char* path : {"", "./libm.so.6", "lib/libzentrix_mapping_qt.so"}) {
        ToolkitDialogRunner runner(path);
        RecordingController controller;
        EXPECT_EQ(runner.Run(controller), zentrix::DialogResult::Rejected);
        EXPECT_FALSE(controller.opened);
    }
    EXPECT_EQ(log.Lines({"mapping", "the dialog library has no absolute path"}).size(), 3u)
        << log.Text();
}

TEST(ToolkitDialogRunner, WithoutALibraryMessagesGoToStandardError) {
    const TempDir directory;
    ToolkitDialogRunner runner(directory.Path() / "missing.so");
    ::testing::internal::CaptureStderr();
    runner.GetMessageService().ShowMessage("No iobox connected");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Zentrix: No iobox connected\n");
}

TEST(ToolkitDialogRunner, TheDefaultLibraryLiesBesideTheBinaryThatHoldsThePlugIn) {
    const std::filesystem::path path = zentrix::DefaultToolkitLibraryPath();
    EXPECT_TRUE(path.is_absolute()) << path;
    EXPECT_EQ(path.filename(), "libzentrix_mapping_qt.so");
    EXPECT_EQ(std::filesystem::canonical(path.parent_path()),
              std::filesystem::canonical("/proc/self/exe").parent_path());
}

}  // namespace
