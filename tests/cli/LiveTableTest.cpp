// The monitor's live table laid out for terminals from wide to tiny.
#include "LiveTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "TextTable.h"

namespace {

using zentrix::cli::DisplayWidth;
using zentrix::cli::LayOutLiveTable;
using zentrix::cli::LiveDevice;
using zentrix::cli::LiveSignal;
using zentrix::cli::ShortenName;
using zentrix::cli::TerminalSize;

constexpr const char* kHeading = "zentrix monitor  12.3 s at 10 Hz  (Ctrl-C stops)";
constexpr const char* kLongName = "Operant chamber 2 left lever tester";

LiveSignal Counting(std::string name, std::string value, std::string total) {
    return {std::move(name), "integer", std::move(value), std::move(total), true, false, true};
}

LiveSignal Flag(std::string name, bool on) {
    return {std::move(name), "bool", on ? "true" : "false", "", false, false, !on};
}

// Four TTL port testers, four pellet dispensers and four lickometers, 40 signals in all, every
// total a text of its own.
std::vector<LiveDevice> TwelveDevices() {
    std::vector<LiveDevice> devices;
    for (int i = 1; i <= 4; ++i) {
        const std::string number = std::to_string(i);
        devices.push_back({i == 2 ? kLongName : "Button box " + number,
                           {Counting("Button 1 presses", "+1", "10" + number + "1"),
                            Flag("Is button 1 pressed", i == 3),
                            Counting("Button 2 presses", "+0", "10" + number + "2"),
                            Flag("Is button 2 pressed", false), Flag("Is light 1 on", false),
                            Flag("Is light 2 on", false)}});
    }
    for (int i = 1; i <= 4; ++i) {
        const std::string number = std::to_string(i);
        devices.push_back({"Pellet dispenser " + number,
                           {Counting("Number of drops", "+0", "20" + number + "1"),
                            Flag("In error state", false)}});
    }
    for (int i = 1; i <= 4; ++i) {
        const std::string number = std::to_string(i);
        LiveSignal duration = Counting("Duration of licks", "+0.120000 s", number + ".450000 s");
        duration.type = "duration";
        devices.push_back({"Lickometer " + number,
                           {Counting("Number of licks", "+2", "30" + number + "1"), duration}});
    }
    return devices;
}

std::vector<std::string> Totals(const std::vector<LiveDevice>& devices) {
    std::vector<std::string> totals;
    for (const LiveDevice& device : devices) {
        for (const LiveSignal& signal : device.signals) {
            if (signal.counting) {
                totals.push_back(signal.total);
            }
        }
    }
    return totals;
}

bool AnyLineHas(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(text) != std::string::npos;
    });
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + '\n';
    }
    return text;
}

TEST(LiveTable, EveryTerminalSizeGetsLinesThatFitWithTheHeadingFirst) {
    const std::vector<LiveDevice> devices = TwelveDevices();
    for (const std::size_t columns : {200, 80, 60, 40}) {
        for (const std::size_t rows : {50, 24, 10, 5}) {
            const auto lines = LayOutLiveTable(kHeading, devices, {columns, rows});
            SCOPED_TRACE(std::to_string(columns) + "x" + std::to_string(rows) + ":\n" +
                         Joined(lines));
            EXPECT_LE(lines.size(), rows - 1);
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(lines[0].rfind("zentrix monitor  12.3 s", 0), 0U);
            for (std::size_t i = 1; i < lines.size(); ++i) {
                EXPECT_EQ(lines[i].find("zentrix monitor"), std::string::npos);
            }
            for (const std::string& line : lines) {
                EXPECT_LE(DisplayWidth(line), columns - 1) << line;
            }
        }
    }
}

TEST(LiveTable, AtSixtyColumnsAndWiderEveryTotalShownIsWhole) {
    const std::vector<LiveDevice> devices = TwelveDevices();
    for (const std::size_t columns : {200, 80, 60}) {
        for (const std::size_t rows : {50, 24}) {
            const auto lines = LayOutLiveTable(kHeading, devices, {columns, rows});
            SCOPED_TRACE(std::to_string(columns) + "x" + std::to_string(rows) + ":\n" +
                         Joined(lines));
            for (const std::string& total : Totals(devices)) {
                EXPECT_TRUE(AnyLineHas(lines, total)) << total;
            }
        }
    }
}

TEST(LiveTable, NamesAreShortenedAndTypeDroppedBeforeATotalIsCut) {
    const std::vector<LiveDevice> devices = TwelveDevices();
    for (const std::size_t rows : {50, 24}) {
        const auto wide = LayOutLiveTable(kHeading, devices, {200, rows});
        const auto narrow = LayOutLiveTable(kHeading, devices, {60, rows});
        SCOPED_TRACE(Joined(narrow));
        EXPECT_TRUE(AnyLineHas(wide, kLongName));
        EXPECT_FALSE(AnyLineHas(narrow, kLongName));
        EXPECT_TRUE(AnyLineHas(narrow, "1021"));
    }
    const auto full = LayOutLiveTable(kHeading, devices, {60, 50});
    for (const std::string& line : full) {
        EXPECT_EQ(line.find("\xE2\x80\xA6", line.size() >= 3 ? line.size() - 3 : 0),
                  std::string::npos)
            << "cut: " << line;
    }
    EXPECT_TRUE(AnyLineHas(full, "TOTAL"));
    EXPECT_FALSE(AnyLineHas(full, "TYPE"));
    EXPECT_TRUE(AnyLineHas(LayOutLiveTable(kHeading, devices, {200, 50}), "TYPE"));
}

TEST(LiveTable, ATableThatFitsIsTheFullTableUnderTheHeading) {
    const std::vector<LiveDevice> devices = TwelveDevices();
    zentrix::cli::TextTable table({"DEVICE", "SIGNAL", "TYPE", "VALUE", "TOTAL"});
    for (const LiveDevice& device : devices) {
        for (const LiveSignal& signal : device.signals) {
            table.AddRow({device.name, signal.name, signal.type, signal.value, signal.total});
        }
    }
    std::vector<std::string> expected = table.Lines();
    expected.insert(expected.begin(), kHeading);
    EXPECT_EQ(LayOutLiveTable(kHeading, devices, {200, 50}), expected);
    EXPECT_EQ(LayOutLiveTable(kHeading, devices, {200, 43}), expected);
    EXPECT_NE(LayOutLiveTable(kHeading, devices, {200, 42}), expected);
}

TEST(LiveTable, ATallTableBecomesOneLinePerDeviceWithTotalsAndSignalsAwayFromRest) {
    std::vector<LiveDevice> devices = TwelveDevices();
    devices[3].signals[5].changed = true;
    const auto lines = LayOutLiveTable(kHeading, devices, {200, 24});
    SCOPED_TRACE(Joined(lines));
    ASSERT_EQ(lines.size(), 13U);
    EXPECT_EQ(lines[1],
              "Button box 1                         Button 1 presses: 1011  "
              "Button 2 presses: 1012");
    // Pressed, so away from rest, though unchanged since the last sample.
    EXPECT_EQ(lines[3],
              "Button box 3                         Button 1 presses: 1031  "
              "Button 2 presses: 1032  Is button 1 pressed: true");
    // Changed back to rest since the last sample.
    EXPECT_EQ(lines[4],
              "Button box 4                         Button 1 presses: 1041  "
              "Button 2 presses: 1042  Is light 2 on: false");
    EXPECT_EQ(lines[12],
              "Lickometer 4                         Number of licks: 3041  "
              "Duration of licks: 4.450000 s");
}

TEST(LiveTable, ASignalAwayFromRestNeverCutsATotalOff) {
    std::vector<LiveDevice> devices;
    for (int i = 1; i <= 12; ++i) {
        devices.push_back(
            {"Button box " + std::to_string(i),
             {Counting("Button 1 presses", "+0", "7"), Counting("Button 2 presses", "+0", "8"),
              Flag("Is button 1 pressed", true)}});
    }
    for (std::size_t columns = 40; columns <= 90; ++columns) {
        const auto lines = LayOutLiveTable(kHeading, devices, {columns, 24});
        SCOPED_TRACE(std::to_string(columns) + " columns:\n" + Joined(lines));
        ASSERT_EQ(lines.size(), 13U);
        for (std::size_t i = 1; i < lines.size(); ++i) {
            EXPECT_NE(lines[i].find(": 7  "), std::string::npos);
            const std::size_t last = lines[i].find(": 8");
            ASSERT_NE(last, std::string::npos);
            const std::string after = lines[i].substr(last + 3);
            EXPECT_TRUE(after.empty() || after.rfind("  ", 0) == 0) << lines[i];
        }
    }
    EXPECT_NE(LayOutLiveTable(kHeading, devices, {90, 24})[1].find("pressed: true"),
              std::string::npos);
}

TEST(LiveTable, TooManyDevicesEndInALineCountingTheOnesLeftOut) {
    const std::vector<LiveDevice> devices = TwelveDevices();
    const auto ten = LayOutLiveTable(kHeading, devices, {80, 10});
    ASSERT_EQ(ten.size(), 9U);
    EXPECT_EQ(ten[1].rfind("Button box 1", 0), 0U);
    EXPECT_EQ(ten.back(), "\xE2\x80\xA6 5 more devices (enlarge the terminal)");
    EXPECT_TRUE(AnyLineHas(ten, "1011"));

    const auto five = LayOutLiveTable(kHeading, devices, {40, 5});
    ASSERT_EQ(five.size(), 4U);
    EXPECT_EQ(five.back(), "\xE2\x80\xA6 10 more devices");

    const auto two = LayOutLiveTable(kHeading, devices, {80, 3});
    EXPECT_EQ(two, (std::vector<std::string>{kHeading,
                                             "\xE2\x80\xA6 12 more devices (enlarge "
                                             "the terminal)"}));
}

TEST(LiveTable, NamesKeepTheirNumbersWhenShortened) {
    EXPECT_EQ(ShortenName("Button 1 presses", 16), "Button 1 presses");
    EXPECT_EQ(ShortenName("Button 1 presses", 12), "Butto 1 pres");
    EXPECT_EQ(ShortenName("Button 2 presses", 12), "Butto 2 pres");
    EXPECT_EQ(ShortenName("Lickometer 10", 8), "Licko 10");
    EXPECT_EQ(ShortenName(kLongName, 21), "Ope cha 2 lef lev tes");
    EXPECT_EQ(ShortenName(kLongName, 15), "Op ch 2 le le t");
    EXPECT_EQ(ShortenName("Button 1 presses", 6), "Bu 1 p");
    // One letter a word is still too long: the middle gives way.
    EXPECT_EQ(ShortenName("Is button 1 pressed", 6),
              "I\xE2\x80\xA6"
              "1 p");
    EXPECT_EQ(ShortenName("Lickometer 10", 2),
              "\xE2\x80\xA6"
              "0");
    EXPECT_EQ(ShortenName("Kammer \xC3\xBC"
                          "bergro\xC3\x9F",
                          10),
              "Kamme \xC3\xBC"
              "ber");
    EXPECT_EQ(ShortenName("anything", 0), "");
}

}  // namespace
