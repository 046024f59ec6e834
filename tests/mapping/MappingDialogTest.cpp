// The mapping dialog's logic driven through a fake window and table the way a user would, and the
// setup's dialog step around it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mapping/FakeMappingView.h"
#include "mapping/MappingDialog.h"
#include "mapping/MappingSetups.h"
#include "model/Catalog.h"
#include "setup/Controller.h"

namespace {

using zentrix::CellControl;
using zentrix::DialogResult;
using zentrix::RgbColour;
using zentrix::testing::Devices;
using zentrix::testing::DeviceSummary;
using zentrix::testing::FakeMessages;
using zentrix::testing::FakeRunner;
using zentrix::testing::FakeWindow;
using zentrix::testing::MappingSetup;

using Ending = FakeRunner::Ending;

constexpr int kSdi1Row = 13;
constexpr int kSdi2Row = 14;
const std::string kNoDevice = "<No device connected>";
const std::string kEnterId = "<Enter device ID>";
const std::string kInterface = "Top Unit Interface (KX-501)";

class MappingDialogTest : public ::testing::Test {
protected:
    void Open(bool readOnly = false) {
        dialog = std::make_unique<TCHiIobDlgPortMapping>(*s.setup, readOnly, messages);
        window.hooks = dialog.get();
        window.table.hooks = dialog.get();
        dialog->Open(window);
    }
    zentrix::testing::FakeTable& table() { return window.table; }

    MappingSetup s{{2, 10}};
    FakeMessages messages;
    FakeWindow window;
    std::unique_ptr<TCHiIobDlgPortMapping> dialog;
};

TEST_F(MappingDialogTest, OpeningListsTheBoxesByTextAndShowsTheFirst) {
    s.Add(10, 1, eDeviceTypePelletDispenser, 0, "feeder");
    Open();
    ASSERT_EQ(window.entries.size(), 2u);
    EXPECT_EQ(window.entries[0].text, "Tamsel IO box 10");
    EXPECT_EQ(window.entries[0].value, 10);
    EXPECT_EQ(window.entries[1].text, "Tamsel IO box 2");
    EXPECT_EQ(window.entries[1].value, 2);
    EXPECT_EQ(window.selected, 0);
    EXPECT_EQ(dialog->GetGrid().GetIOBox(), 10);
    EXPECT_TRUE(window.okEnabled);
    EXPECT_EQ(table().headers, (std::array<std::string, 3>{"Ports", "Device type", "Device ID"}));
    EXPECT_EQ(table().current, (zentrix::CellPosition{1, 1}));
    ASSERT_EQ(table().rowCount, 25);
    EXPECT_EQ(table().Text(1, 1), "TTL Port 1");
    EXPECT_EQ(table().Text(1, 2), "Pellet Dispenser (KX-502)");
    EXPECT_EQ(table().Text(1, 3), "feeder");
    EXPECT_EQ(table().Text(2, 2), kNoDevice);
    EXPECT_EQ(table().Text(2, 3), kEnterId);
    EXPECT_EQ(table().Text(25, 1), "SDI Port 13");

    const zentrix::CellContent port = table().GetCell(1, 1);
    EXPECT_EQ(port.control, CellControl::Static);
    EXPECT_TRUE(port.readOnly);
    const zentrix::CellContent type = table().GetCell(kSdi1Row, 2);
    EXPECT_EQ(type.control, CellControl::DropDownList);
    EXPECT_FALSE(type.readOnly);
    EXPECT_EQ(type.choices,
              (std::vector<std::string>{"Lickometer (KX-503)", kInterface, kNoDevice}));
    const zentrix::CellContent id = table().GetCell(1, 3);
    EXPECT_EQ(id.control, CellControl::Edit);
    EXPECT_FALSE(id.readOnly);

    for (int r = 1; r <= 25; ++r) {
        const RgbColour expected = r % 2 == 1 ? RgbColour{255, 255, 255} : RgbColour{235, 241, 222};
        EXPECT_EQ(table().backgrounds.at(r), expected) << r;
    }
}

TEST_F(MappingDialogTest, ThePlaceholderBoxIsListedAsNoneConnected) {
    MappingSetup placeholder;
    dialog = std::make_unique<TCHiIobDlgPortMapping>(*placeholder.setup, false, messages);
    dialog->Open(window);
    ASSERT_EQ(window.entries.size(), 1u);
    EXPECT_EQ(window.entries[0].text, "<none connected>");
    EXPECT_EQ(window.entries[0].value, -1);
    EXPECT_EQ(table().rowCount, 25);
}

TEST_F(MappingDialogTest, ReadOnlyShowsPlainTextAndDisablesOk) {
    s.Add(10, 13, eDeviceTypeLickometer, 0, "licks");
    Open(true);
    EXPECT_FALSE(window.okEnabled);
    const zentrix::CellContent type = table().GetCell(kSdi1Row, 2);
    EXPECT_EQ(type.text, "Lickometer (KX-503)");
    EXPECT_EQ(type.control, CellControl::Static);
    EXPECT_TRUE(type.choices.empty());
    EXPECT_TRUE(type.readOnly);
    const zentrix::CellContent id = table().GetCell(kSdi1Row, 3);
    EXPECT_EQ(id.text, "licks");
    EXPECT_EQ(id.control, CellControl::Static);
    EXPECT_TRUE(id.readOnly);
    EXPECT_FALSE(dialog->OnOk());
    // Hooks that a window should not send in read-only mode change nothing either.
    dialog->OnDropDownChanged(kSdi1Row, 2, "Lickometer (KX-503)", kNoDevice);
    EXPECT_TRUE(dialog->OnEditFinished(kSdi1Row, 3, "other"));
    EXPECT_EQ(table().Text(kSdi1Row, 2), "Lickometer (KX-503)");
    EXPECT_EQ(dialog->GetPortMappings().FindIOBoxLinks(10)->m_lstPortLinks.size(), 25u);
    EXPECT_EQ(TCHiIobPortMappings::GetRow(dialog->GetPortMappings().FindIOBoxLinks(10), kSdi1Row)
                  ->m_strDeviceId,
              "licks");
}

TEST_F(MappingDialogTest, ChoosingTheInterfaceInsertsFourPositionRows) {
    Open();
    table().Choose(kSdi1Row, kInterface);
    ASSERT_EQ(table().rowCount, 29);
    EXPECT_EQ(table().Text(kSdi1Row, 2), kInterface);
    EXPECT_EQ(table().Text(kSdi1Row, 3), "");
    EXPECT_TRUE(table().GetCell(kSdi1Row, 3).readOnly);
    for (int p = 1; p <= 4; ++p) {
        const int row = kSdi1Row + p;
        EXPECT_EQ(table().Text(row, 1), "    Interface Port " + std::to_string(p));
        EXPECT_EQ(table().Text(row, 2), kNoDevice);
        EXPECT_EQ(
            table().GetCell(row, 2).choices,
            (std::vector<std::string>{"Top Unit (Standard)", "Top Unit (Corvane)", kNoDevice}));
        EXPECT_EQ(table().Text(row, 3), kEnterId);
        EXPECT_FALSE(table().GetCell(row, 3).readOnly);
        EXPECT_EQ(table().GetCell(row, 3).control, CellControl::Edit);
    }
    EXPECT_EQ(table().Text(kSdi1Row + 5, 1), "SDI Port 2");
    EXPECT_EQ(table().backgrounds.at(29), (RgbColour{255, 255, 255}));

    table().Choose(kSdi1Row + 2, "Top Unit (Corvane)");
    EXPECT_EQ(table().Text(kSdi1Row + 2, 2), "Top Unit (Corvane)");
    EXPECT_EQ(table().Text(kSdi1Row + 2, 3), "Top Unit (Corvane) 1");

    // Setting a position back to nothing keeps its id text.
    table().Choose(kSdi1Row + 2, kNoDevice);
    EXPECT_EQ(table().Text(kSdi1Row + 2, 2), kNoDevice);
    EXPECT_EQ(table().Text(kSdi1Row + 2, 3), "Top Unit (Corvane) 1");

    // Back to a direct device type: the position rows go.
    table().Choose(kSdi1Row, "Lickometer (KX-503)");
    EXPECT_EQ(table().rowCount, 25);
    EXPECT_EQ(table().Text(kSdi1Row, 3), "Lickometer (KX-503) 1");
    EXPECT_EQ(table().Text(kSdi2Row, 1), "SDI Port 2");
}

TEST_F(MappingDialogTest, ChoosingADeviceKeepsAnIdTextAndAConnectorClearsIt) {
    Open();
    table().Choose(kSdi1Row, "Lickometer (KX-503)");
    EXPECT_EQ(table().Text(kSdi1Row, 3), "Lickometer (KX-503) 1");
    table().Choose(kSdi2Row, "Lickometer (KX-503)");
    EXPECT_EQ(table().Text(kSdi2Row, 3), "Lickometer (KX-503) 2");
    table().Choose(kSdi1Row, kNoDevice);
    EXPECT_EQ(table().Text(kSdi1Row, 3), "Lickometer (KX-503) 1");
    table().Choose(kSdi1Row, kInterface);
    EXPECT_EQ(table().Text(kSdi1Row, 3), "");
    EXPECT_TRUE(TCHiIobPortMappings::GetRow(dialog->GetPortMappings().FindIOBoxLinks(10), kSdi1Row)
                    ->m_strDeviceId.empty());
}

TEST_F(MappingDialogTest, ADuplicateIdRefusesTheEditWithTheMessage) {
    s.Add(2, 13, eDeviceTypeLickometer, 0, "licks");
    Open();
    table().Choose(kSdi2Row, "Lickometer (KX-503)");
    EXPECT_FALSE(table().Type(kSdi2Row, "licks"));
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0],
              "IO Box 2 Port \"SDI Port 1\" \"Lickometer (KX-503)\" has the same ID as\n"
              "Port \"SDI Port 2\" \"Lickometer (KX-503)\".\nThis is not allowed.");
    EXPECT_EQ(table().Text(kSdi2Row, 3), "Lickometer (KX-503) 1");
    const TCHiIobPortLink* row =
        TCHiIobPortMappings::GetRow(dialog->GetPortMappings().FindIOBoxLinks(10), kSdi2Row);
    EXPECT_EQ(row->m_strDeviceId, "Lickometer (KX-503) 1");

    EXPECT_TRUE(table().Type(kSdi2Row, "Licks"));
    EXPECT_EQ(table().Text(kSdi2Row, 3), "Licks");
    EXPECT_EQ(row->m_strDeviceId, "Licks");
    EXPECT_EQ(messages.shown.size(), 1u);

    EXPECT_TRUE(table().Type(kSdi2Row, ""));
    EXPECT_EQ(table().Text(kSdi2Row, 3), kEnterId);
    EXPECT_EQ(row->m_strDeviceId, "");
}

TEST_F(MappingDialogTest, TabWalksThroughTheEditableColumns) {
    Open();
    table().Tab();
    EXPECT_EQ(table().current, (zentrix::CellPosition{1, 2}));
    table().Tab();
    EXPECT_EQ(table().current, (zentrix::CellPosition{1, 3}));
    table().Tab();
    EXPECT_EQ(table().current, (zentrix::CellPosition{2, 2}));
    table().Tab(true);
    EXPECT_EQ(table().current, (zentrix::CellPosition{1, 3}));
    table().Tab(true);
    EXPECT_EQ(table().current, (zentrix::CellPosition{1, 2}));
    table().Tab(true);
    EXPECT_EQ(table().current, (zentrix::CellPosition{1, 2}));
    table().SetCurrentCell(25, 3);
    table().Tab();
    EXPECT_EQ(table().current, (zentrix::CellPosition{25, 3}));
}

TEST_F(MappingDialogTest, SwitchingBoxesKeepsTheEditsOfEach) {
    Open();
    table().Choose(1, "Custom Hardware");
    window.SelectBox("Tamsel IO box 2");
    EXPECT_EQ(dialog->GetGrid().GetIOBox(), 2);
    EXPECT_EQ(table().Text(1, 2), kNoDevice);
    table().Choose(1, "Custom Hardware");
    EXPECT_EQ(table().Text(1, 3), "Custom Hardware 2");
    window.SelectBox("Tamsel IO box 10");
    EXPECT_EQ(table().Text(1, 2), "Custom Hardware");
    EXPECT_EQ(table().Text(1, 3), "Custom Hardware 1");
}

TEST_F(MappingDialogTest, OkValidatesOnlyTheBoxOnShow) {
    Open();
    table().Choose(2, "Custom Hardware");
    EXPECT_TRUE(table().Type(2, kEnterId));
    EXPECT_FALSE(dialog->OnOk());
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0],
              "Port \"TTL Port 2\" \"Custom Hardware\" has no device ID.\nThis is not allowed.");
    window.SelectBox("Tamsel IO box 2");
    EXPECT_TRUE(dialog->OnOk());
    window.SelectBox("Tamsel IO box 10");
    EXPECT_TRUE(table().Type(2, "mine"));
    EXPECT_TRUE(dialog->OnOk());
    EXPECT_EQ(messages.shown.size(), 1u);
}

TEST_F(MappingDialogTest, ABoxTheModelLacksShowsNothingNewAndKeepsOkFromClosing) {
    Open();
    table().Choose(1, "Custom Hardware");
    dialog->GetGrid().SetIOBox(99, false);
    EXPECT_FALSE(dialog->GetGrid().Refresh());
    EXPECT_EQ(table().rowCount, 25);
    EXPECT_EQ(table().Text(1, 2), "Custom Hardware");
    EXPECT_FALSE(dialog->OnOk());
    EXPECT_TRUE(messages.shown.empty());
}

TEST(MappingDialogRun, WithoutBoxesOnlyTheMessageIsShown) {
    zentrix::testing::TempRegistry registry("");
    zentrix::VirtualClock clock;
    zentrix::testing::RecordingLibrary library(clock);
    library.productId = 0x1500;
    TCHiIobHardwareSetup setup(library, clock);
    FakeRunner runner;
    EXPECT_FALSE(setup.RunMappingDialog(runner, false));
    EXPECT_EQ(runner.runs, 0);
    EXPECT_EQ(runner.messages.shown,
              (std::vector<std::string>{
                  "No iobox connected, connect one or more ioboxes and run the program again"}));
}

class MappingDialogRunTest : public ::testing::Test {
protected:
    void SetUp() override { s.Add(10, 1, eDeviceTypePelletDispenser, 3, "feeder"); }

    MappingSetup s{{2, 10}};
    FakeRunner runner;
    // The user's edits in every test: an interface with a top unit on SDI Port 1, whose id they
    // first try to set to one that exists, then to a free one.
    std::function<Ending(FakeWindow&)> edit = [](FakeWindow& window) {
        window.table.Choose(kSdi1Row, kInterface);
        window.table.Choose(kSdi1Row + 1, "Top Unit (Standard)");
        EXPECT_FALSE(window.table.Type(kSdi1Row + 1, "feeder"));
        EXPECT_TRUE(window.table.Type(kSdi1Row + 1, "top"));
        return Ending::Ok;
    };
    const std::vector<DeviceSummary> before{{3, "feeder", eDeviceTypePelletDispenser, -1}};
};

TEST_F(MappingDialogRunTest, OkAppliesTheEditedMapping) {
    runner.user = edit;
    EXPECT_TRUE(s.setup->RunMappingDialog(runner, false));
    EXPECT_EQ(Devices(*s.setup),
              (std::vector<DeviceSummary>{{3, "feeder", eDeviceTypePelletDispenser, -1},
                                          {4, "top", eDeviceTypeTopUnitStandard, 1}}));
    EXPECT_EQ(runner.messages.shown.size(), 1u);
}

TEST_F(MappingDialogRunTest, ARefusedOkKeepsTheDialogOpen) {
    runner.user = [](FakeWindow& window) {
        window.table.Choose(2, "Custom Hardware");
        window.table.Type(2, "");
        return Ending::Ok;
    };
    EXPECT_FALSE(s.setup->RunMappingDialog(runner, false));
    EXPECT_EQ(runner.okRefusals, 1);
    EXPECT_EQ(Devices(*s.setup), before);
}

TEST_F(MappingDialogRunTest, CancelChangesNothingAndLeavesTheHardwareAlone) {
    runner.user = [this](FakeWindow& window) {
        edit(window);
        return Ending::Cancel;
    };
    const std::size_t transfers = s.recording().calls.size();
    EXPECT_FALSE(s.setup->RunMappingDialog(runner, false));
    EXPECT_EQ(runner.runs, 1);
    EXPECT_EQ(Devices(*s.setup), before);
    EXPECT_EQ(s.recording().calls.size(), transfers);
}

TEST_F(MappingDialogRunTest, ReadOnlyChangesNothing) {
    runner.user = [](FakeWindow& window) {
        EXPECT_FALSE(window.okEnabled);
        return Ending::Ok;
    };
    EXPECT_FALSE(s.setup->RunMappingDialog(runner, true));
    EXPECT_EQ(Devices(*s.setup), before);
}

TEST_F(MappingDialogRunTest, ARunningSamplerIsStoppedAroundTheChangeAndRestarted) {
    // The placeholder box has no hardware, so the sampler's passes touch nothing.
    MappingSetup placeholder;
    placeholder.Add(-1, 1, eDeviceTypePelletDispenser, 3, "feeder");
    placeholder.setup->StartSampler();
    ASSERT_TRUE(placeholder.setup->GetController().IsSampling());
    bool samplingWhileOpen = false;
    runner.user = [&](FakeWindow& window) {
        samplingWhileOpen = placeholder.setup->GetController().IsSampling();
        return edit(window);
    };
    EXPECT_TRUE(placeholder.setup->RunMappingDialog(runner, false));
    EXPECT_TRUE(samplingWhileOpen);
    EXPECT_TRUE(placeholder.setup->GetController().IsSampling());
    EXPECT_EQ(Devices(*placeholder.setup).size(), 2u);
    EXPECT_TRUE(placeholder.setup->StopSampler());
}

}  // namespace
