// `zentrix check` against a scripted kernel driver: what it reports for usable, busy, forbidden
// and silent boxes, and the exit status a script can rely on.
#include <gtest/gtest.h>

#include <cerrno>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "Check.h"
#include "simulator/SimulatedBench.h"
#include "support/FakeIowarriorDriver.h"
#include "support/PinnedTiming.h"
#include "support/SimulatorDeviceNodes.h"
#include "support/TempDir.h"

namespace {

using zentrix::testing::FakeIowarriorDriver;

class CheckTest : public ::testing::Test {
protected:
    int Check(bool json = false) {
        zentrix::cli::CheckOptions options;
        options.directory = driver.Directory();
        options.moduleDirectory = moduleDirectory.string();
        options.json = json;
        output.str("");
        return zentrix::cli::CheckHardware(driver, clock, options, output);
    }

    // The box answers the read-pins report with its id on port 2. The answer comes a moment
    // after the check has opened the nodes: what waits in a node before the open is thrown away.
    void AnswerBoxId(unsigned specialMinor, std::uint8_t boxId) {
        FakeIowarriorDriver::Bytes reply(64, 0);
        reply[0] = 0xFF;
        reply[3] = boxId;
        driver.QueueReport(specialMinor, reply, 1);
    }

    zentrix::VirtualClock clock;
    FakeIowarriorDriver driver{clock};
    zentrix::testing::TempDir scratch;
    std::filesystem::path moduleDirectory = scratch.Path();
    std::ostringstream output;
};

TEST_F(CheckTest, NoBoxAttachedIsSaidPlainlyAndIsNoFailure) {
    EXPECT_EQ(Check(), 0);
    EXPECT_NE(output.str().find("No IO box attached"), std::string::npos) << output.str();
    EXPECT_EQ(output.str().find("modprobe"), std::string::npos) << output.str();

    moduleDirectory = scratch.Path() / "not-loaded";
    driver.SetListError(ENOENT);
    EXPECT_EQ(Check(), 0);
    EXPECT_NE(output.str().find("sudo modprobe iowarrior"), std::string::npos) << output.str();

    EXPECT_EQ(Check(true), 0);
    const auto document = nlohmann::json::parse(output.str());
    EXPECT_EQ(document["ok"], true);
    EXPECT_EQ(document["module_loaded"], false);
    EXPECT_TRUE(document["nodes"].empty());
}

TEST_F(CheckTest, UsableBoxesShowTheirSerialProductAndBoxId) {
    driver.AddController(4, 5, "00001001");
    driver.AddController(0, 9, "00001002");
    AnswerBoxId(5, 7);
    AnswerBoxId(9, 2);
    EXPECT_EQ(Check(), 0) << output.str();
    const std::string text = output.str();
    EXPECT_NE(text.find("/dev/usb/iowarrior4  serial 00001001  product 0x1503  interface 0  ok"),
              std::string::npos)
        << text;
    // Boxes come in the order of their pin nodes.
    const auto second = text.find("serial 00001002  product 0x1503  box id 2  ready");
    const auto first = text.find("serial 00001001  product 0x1503  box id 7  ready");
    ASSERT_NE(first, std::string::npos) << text;
    ASSERT_NE(second, std::string::npos) << text;
    EXPECT_LT(second, first);
    // The check lets go of the nodes, so that the plug-in can have them.
    EXPECT_EQ(driver.OpenCount(), 0);
}

TEST_F(CheckTest, EachUnusableNodeOrBoxHasItsReasonAndFixAndFailsTheCheck) {
    driver.AddController(0, 1, "0000000A");
    driver.AddController(2, 3, "0000000B");
    driver.AddController(4, 5, "0000000C");
    driver.AddController(6, 7, "0000000D");
    driver.At(1).openError = EBUSY;
    driver.At(2).openError = EACCES;
    AnswerBoxId(5, 3);  // 0000000D never answers
    EXPECT_EQ(Check(), 1);
    const std::string text = output.str();
    EXPECT_NE(text.find("iowarrior1\n    problem: cannot be opened: busy"), std::string::npos)
        << text;
    EXPECT_NE(text.find("another program holds the box"), std::string::npos) << text;
    EXPECT_NE(text.find("iowarrior2\n    problem: cannot be opened: permission denied"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("install the udev rule 60-zentrix-iowarrior.rules"), std::string::npos)
        << text;
    EXPECT_NE(text.find("serial 0000000C  product 0x1503  box id 3  ready"), std::string::npos)
        << text;
    EXPECT_NE(text.find("serial 0000000D  product 0x1503  does not answer"), std::string::npos)
        << text;

    AnswerBoxId(5, 3);
    EXPECT_EQ(Check(true), 1);
    const auto document = nlohmann::json::parse(output.str());
    EXPECT_EQ(document["ok"], false);
    ASSERT_EQ(document["nodes"].size(), 8u);
    EXPECT_EQ(document["nodes"][1]["usable"], false);
    EXPECT_NE(document["nodes"][1]["fix"].get<std::string>().find("another program"),
              std::string::npos);
    EXPECT_EQ(document["nodes"][4]["usable"], true);
    EXPECT_EQ(document["nodes"][4]["serial"], "0000000C");
    ASSERT_EQ(document["boxes"].size(), 2u);
    EXPECT_EQ(document["boxes"][0]["box_id"], 3);
    EXPECT_TRUE(document["boxes"][1]["box_id"].is_null());
}

TEST_F(CheckTest, OtherIoWarriorProductsAreLeftAloneWithoutFailingTheCheck) {
    driver.AddController(0, 1, "0000000A", 0x1500);
    EXPECT_EQ(Check(), 0) << output.str();
    EXPECT_NE(output.str().find("product 0x1500  not an IO-Warrior 56"), std::string::npos)
        << output.str();
    EXPECT_TRUE(driver.At(1).written.empty());
}

// Through the kernel driver to simulated boxes: the check configures each box's own expanders
// and reads them back as the plug-in does, and says which waits the plug-in would sample with.
TEST(CheckTiming, EachBoxShowsTheWaitsThePluginWouldSampleItWithAndWhy) {
    const zentrix::testing::PinnedTiming timing("auto");
    zentrix::VirtualClock clock;
    zentrix::sim::BenchConfig config;
    config.boxes.resize(2);
    config.boxes[0].boxId = 4;
    config.boxes[1].boxId = 6;
    config.boxes[1].lateSelectUs = 1500;
    zentrix::sim::SimulatedBench bench(config, clock);
    zentrix::testing::SimulatorDeviceNodes nodes(bench, clock);
    zentrix::testing::TempDir scratch;
    zentrix::cli::CheckOptions options;
    options.directory = nodes.Directory();
    options.moduleDirectory = scratch.Path().string();
    options.json = true;
    std::ostringstream output;
    ASSERT_EQ(zentrix::cli::CheckHardware(nodes, clock, options, output), 0) << output.str();
    const auto document = nlohmann::json::parse(output.str());
    ASSERT_EQ(document["boxes"].size(), 2u) << output.str();
    EXPECT_EQ(document["boxes"][0]["box_id"], 4);
    EXPECT_EQ(document["boxes"][0]["timing"], "lean");
    EXPECT_EQ(document["boxes"][0]["timing_reason"], "all 41 read-backs with lean waits matched");
    EXPECT_EQ(document["boxes"][1]["timing"], "spec");
    EXPECT_NE(document["boxes"][1]["timing_reason"].get<std::string>().find("did not match"),
              std::string::npos)
        << output.str();
    // SPI is off again, as the plug-in leaves a box it let go of.
    EXPECT_FALSE(bench.Box(0).SpiEnabled());

    options.json = false;
    output.str("");
    const zentrix::testing::PinnedTiming spec("spec");
    ASSERT_EQ(zentrix::cli::CheckHardware(nodes, clock, options, output), 0);
    EXPECT_NE(output.str().find("box id 4  ready\n    samples with spec waits: as "
                                "ZENTRIX_TIMING=spec asks"),
              std::string::npos)
        << output.str();
}

}  // namespace
