// The Qt window and table of the mapping dialog, driven with the keyboard and the mouse on the
// offscreen platform, against a controller that records every hook and answers as told.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "mapping/DialogToolkit.h"
#include "mapping/qt/QtMappingDialog.h"

extern "C" const ZentrixMappingToolkit* zentrix_mapping_toolkit(std::uint32_t version);

namespace {

using zentrix::CellContent;
using zentrix::CellControl;
using zentrix::CellPosition;
using zentrix::qt::QtMappingDialog;

const std::vector<std::string> kSdiChoices = {"Lickometer (KX-503)", "Top Unit Interface (KX-501)",
                                              "<No device connected>"};

class RecordingController final : public zentrix::MappingDialogController {
public:
    void Open(zentrix::MappingDialogWindow& window) override {
        ++opened;
        m_window = &window;
        window.SetBoxEntries({{"Tamsel IO box 10", 10}, {"Tamsel IO box 2", 2}});
        window.SelectBoxEntry(0);
        zentrix::MappingTable& table = window.GetTable();
        table.SetColumnHeaders({"Ports", "Device type", "Device ID"});
        table.SetRowCount(2);
        table.SetCell(1, 1, {"SDI Port 1", CellControl::Static, {}, true});
        table.SetCell(1, 2,
                      {"<No device connected>", CellControl::DropDownList, kSdiChoices, readOnly});
        table.SetCell(1, 3, {"<Enter device ID>", CellControl::Edit, {}, readOnly});
        table.SetCell(2, 1, {"SDI Port 2", CellControl::Static, {}, true});
        table.SetCell(2, 2,
                      {"Lickometer (KX-503)", CellControl::DropDownList, kSdiChoices, readOnly});
        table.SetCell(2, 3, {"licks", CellControl::Edit, {}, readOnly});
        table.SetRowBackground(1, {255, 255, 255});
        table.SetRowBackground(2, {235, 241, 222});
        table.SetCurrentCell(1, 2);
        window.SetOkEnabled(!readOnly);
    }
    void OnBoxSelectionChanged() override {
        events.push_back("box " + std::to_string(m_window->GetSelectedBoxValue()));
    }
    bool OnOk() override {
        events.push_back("ok");
        return acceptOk;
    }
    void OnCancel() override { events.push_back("cancel"); }
    void OnDropDownChanged(int row, int column, const std::string& oldText,
                           const std::string& newText) override {
        events.push_back("drop " + std::to_string(row) + "," + std::to_string(column) + " " +
                         oldText + " -> " + newText);
        // As the logic does for a connector type: rows below are inserted and rewritten.
        if (newText == "Top Unit Interface (KX-501)") {
            zentrix::MappingTable& table = m_window->GetTable();
            table.SetRowCount(6);
            table.SetCell(row, 3, {"", CellControl::Static, {}, true});
            for (int position = 1; position <= 4; ++position) {
                table.SetCell(row + position, 1,
                              {"    Interface Port " + std::to_string(position),
                               CellControl::Static,
                               {},
                               true});
                table.SetCell(row + position, 3,
                              {"<Enter device ID>", CellControl::Edit, {}, false});
            }
        }
    }
    bool OnEditFinished(int row, int column, const std::string& text) override {
        events.push_back("edit " + std::to_string(row) + "," + std::to_string(column) + " " + text);
        if (text == takenId) {
            return false;
        }
        m_window->GetTable().SetCell(row, column, {text, CellControl::Edit, {}, false});
        return true;
    }
    void OnTabKey(bool backwards) override {
        events.push_back(backwards ? "shift-tab" : "tab");
        const CellPosition current = m_window->GetTable().GetCurrentCell();
        m_window->GetTable().SetCurrentCell(current.row, backwards ? 2 : 3);
    }

    bool readOnly = false;
    bool acceptOk = true;
    std::string takenId = "7";
    int opened = 0;
    std::vector<std::string> events;

private:
    zentrix::MappingDialogWindow* m_window = nullptr;
};

class QtMappingDialogTest : public ::testing::Test {
protected:
    void Open() {
        dialog = std::make_unique<QtMappingDialog>(controller, nullptr);
        controller.Open(*dialog);
        dialog->show();
        dialog->activateWindow();
        dialog->Table()->setFocus();
        QApplication::processEvents();
    }
    void Key(QWidget* target, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(target, key, modifiers);
        QApplication::processEvents();
    }
    QWidget* Focus() const { return QApplication::focusWidget(); }
    CellContent Cell(int row, int column) const { return dialog->Table()->GetCell(row, column); }
    CellPosition Current() const { return dialog->Table()->GetCurrentCell(); }

    RecordingController controller;
    std::unique_ptr<QtMappingDialog> dialog;
};

TEST_F(QtMappingDialogTest, TheWindowHasItsCaptionControlsAndHeaders) {
    Open();
    EXPECT_EQ(dialog->windowTitle(), "Port Device Mapping");
    const auto labels = dialog->findChildren<QLabel*>();
    ASSERT_EQ(labels.size(), 1);
    EXPECT_EQ(labels[0]->text(), "IO Interface:");
    EXPECT_EQ(dialog->OkButton()->text(), "OK");
    EXPECT_EQ(dialog->CancelButton()->text(), "Cancel");
    EXPECT_TRUE(dialog->OkButton()->isDefault());
    ASSERT_EQ(dialog->Table()->columnCount(), 3);
    EXPECT_EQ(dialog->Table()->horizontalHeaderItem(0)->text(), "Ports");
    EXPECT_EQ(dialog->Table()->horizontalHeaderItem(1)->text(), "Device type");
    EXPECT_EQ(dialog->Table()->horizontalHeaderItem(2)->text(), "Device ID");
    // The layout of the dialog units: label and list on top, the table below, OK left of Cancel,
    // both under the table's right end.
    const QRect table = dialog->Table()->geometry();
    EXPECT_LT(dialog->BoxList()->geometry().bottom(), table.top());
    EXPECT_LT(dialog->OkButton()->geometry().right(), dialog->CancelButton()->geometry().left());
    EXPECT_GT(dialog->OkButton()->geometry().top(), table.bottom());
    EXPECT_LE(dialog->CancelButton()->geometry().right(), table.right() + 1);
    EXPECT_LE(table.right(), dialog->width());
    EXPECT_LE(dialog->CancelButton()->geometry().bottom(), dialog->height());
    // The table takes the share of the window that it has in dialog units, across and down.
    EXPECT_NEAR(double(table.width()) / dialog->width(), 436.0 / 450.0, 0.02);
    EXPECT_NEAR(double(table.height()) / dialog->height(), 267.0 / 315.0, 0.02);
    EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize());
}

TEST_F(QtMappingDialogTest, TheBoxListKeepsItsOrderAndReportsOnlyTheUsersChoice) {
    Open();
    ASSERT_EQ(dialog->BoxList()->count(), 2);
    EXPECT_EQ(dialog->BoxList()->itemText(0), "Tamsel IO box 10");
    EXPECT_EQ(dialog->GetSelectedBoxValue(), 10);
    dialog->SelectBoxEntry(1);
    EXPECT_EQ(dialog->GetSelectedBoxValue(), 2);
    EXPECT_TRUE(controller.events.empty());
    dialog->SelectBoxEntry(0);
    dialog->BoxList()->setFocus();
    Key(dialog->BoxList(), Qt::Key_Down);
    EXPECT_EQ(controller.events, (std::vector<std::string>{"box 2"}));
    dialog->SetBoxEntries({});
    EXPECT_EQ(dialog->GetSelectedBoxValue(), 0);
}

TEST_F(QtMappingDialogTest, RowsHaveTheirBackgroundsAndCellsTheirContent) {
    Open();
    EXPECT_EQ(dialog->Table()->item(0, 2)->background().color(), QColor(255, 255, 255));
    EXPECT_EQ(dialog->Table()->item(1, 0)->background().color(), QColor(235, 241, 222));
    const CellContent typeCell = Cell(1, 2);
    EXPECT_EQ(typeCell.text, "<No device connected>");
    EXPECT_EQ(typeCell.control, CellControl::DropDownList);
    EXPECT_EQ(typeCell.choices, kSdiChoices);
    EXPECT_FALSE(typeCell.readOnly);
    EXPECT_EQ(Current(), (CellPosition{1, 2}));
    EXPECT_FALSE(dialog->Table()->item(0, 0)->flags().testFlag(Qt::ItemIsEditable));
    EXPECT_TRUE(dialog->Table()->item(0, 2)->flags().testFlag(Qt::ItemIsEditable));
}

TEST_F(QtMappingDialogTest, ChoosingInADropDownWithTheKeyboardReportsOldAndNewText) {
    Open();
    Key(dialog->Table(), Qt::Key_F2);
    auto* list = qobject_cast<QComboBox*>(Focus());
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->currentText(), "<No device connected>");
    ASSERT_EQ(list->count(), 3);
    Key(list, Qt::Key_Up);
    EXPECT_EQ(list->currentText(), "Top Unit Interface (KX-501)");
    Key(list, Qt::Key_Return);
    EXPECT_EQ(controller.events,
              (std::vector<std::string>{
                  "drop 1,2 <No device connected> -> Top Unit Interface (KX-501)"}));
    EXPECT_EQ(Cell(1, 2).text, "Top Unit Interface (KX-501)");
    // The rows that the hook inserted are there, and the editor is gone.
    EXPECT_EQ(dialog->Table()->rowCount(), 6);
    EXPECT_EQ(Cell(3, 1).text, "    Interface Port 2");
    EXPECT_EQ(Cell(3, 3).text, "<Enter device ID>");
    EXPECT_EQ(qobject_cast<QComboBox*>(Focus()), nullptr);
    EXPECT_EQ(Focus(), dialog->Table());
}

TEST_F(QtMappingDialogTest, TypingTheStartOfAnEntrySelectsItAndOnlyEnterReportsIt) {
    Open();
    Key(dialog->Table(), Qt::Key_F2);
    auto* list = qobject_cast<QComboBox*>(Focus());
    ASSERT_NE(list, nullptr);
    QTest::keyClicks(list, "Top");
    Key(list, Qt::Key_Down);
    Key(list, Qt::Key_Up);
    EXPECT_EQ(list->currentText(), "Top Unit Interface (KX-501)");
    EXPECT_TRUE(controller.events.empty());
    Key(list, Qt::Key_Enter);
    EXPECT_EQ(controller.events,
              (std::vector<std::string>{
                  "drop 1,2 <No device connected> -> Top Unit Interface (KX-501)"}));
    EXPECT_TRUE(dialog->isVisible());
}

TEST_F(QtMappingDialogTest, APickInTheOpenListEndsTheChoiceAtOnce) {
    Open();
    Key(dialog->Table(), Qt::Key_F2);
    auto* list = qobject_cast<QComboBox*>(Focus());
    ASSERT_NE(list, nullptr);
    list->showPopup();
    QApplication::processEvents();
    ASSERT_TRUE(list->view()->isVisible());
    list->view()->setCurrentIndex(list->model()->index(0, 0));
    Key(list->view(), Qt::Key_Return);
    EXPECT_EQ(controller.events,
              (std::vector<std::string>{"drop 1,2 <No device connected> -> Lickometer (KX-503)"}));
    EXPECT_EQ(Cell(1, 2).text, "Lickometer (KX-503)");
    EXPECT_TRUE(dialog->isVisible());
}

TEST_F(QtMappingDialogTest, PickingTheSameEntryAgainReportsNothing) {
    Open();
    Key(dialog->Table(), Qt::Key_F2);
    ASSERT_NE(qobject_cast<QComboBox*>(Focus()), nullptr);
    Key(Focus(), Qt::Key_Return);
    EXPECT_TRUE(controller.events.empty());
}

TEST_F(QtMappingDialogTest, TypingAnIdThatIsTakenKeepsTheEditorOpenUntilAnAcceptedOne) {
    Open();
    dialog->Table()->SetCurrentCell(1, 3);
    QTest::keyClicks(dialog->Table(), "7");
    QApplication::processEvents();
    auto* edit = qobject_cast<QLineEdit*>(Focus());
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(edit->text(), "7");
    Key(edit, Qt::Key_Return);
    EXPECT_EQ(controller.events, (std::vector<std::string>{"edit 1,3 7"}));
    EXPECT_EQ(Focus(), edit);
    EXPECT_EQ(edit->text(), "7");
    EXPECT_EQ(Cell(1, 3).text, "<Enter device ID>");

    edit->setText("8");
    Key(edit, Qt::Key_Return);
    EXPECT_EQ(controller.events, (std::vector<std::string>{"edit 1,3 7", "edit 1,3 8"}));
    EXPECT_EQ(Cell(1, 3).text, "8");
    EXPECT_EQ(Focus(), dialog->Table());
}

TEST_F(QtMappingDialogTest, EscapeCancelsAnEditWithoutTheHook) {
    Open();
    dialog->Table()->SetCurrentCell(2, 3);
    QTest::keyClicks(dialog->Table(), "x");
    QApplication::processEvents();
    ASSERT_NE(qobject_cast<QLineEdit*>(Focus()), nullptr);
    Key(Focus(), Qt::Key_Escape);
    EXPECT_TRUE(controller.events.empty());
    EXPECT_EQ(Cell(2, 3).text, "licks");
    EXPECT_TRUE(dialog->isVisible());
}

TEST_F(QtMappingDialogTest, TabGoesToTheLogicAndNeverLeavesTheTable) {
    Open();
    Key(dialog->Table(), Qt::Key_Tab);
    EXPECT_EQ(Current(), (CellPosition{1, 3}));
    Key(dialog->Table(), Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(Current(), (CellPosition{1, 2}));
    EXPECT_EQ(controller.events, (std::vector<std::string>{"tab", "shift-tab"}));
    EXPECT_EQ(Focus(), dialog->Table());

    // Tab out of an open editor first ends the edit, then walks.
    dialog->Table()->SetCurrentCell(2, 3);
    QTest::keyClicks(dialog->Table(), "9");
    QApplication::processEvents();
    ASSERT_NE(qobject_cast<QLineEdit*>(Focus()), nullptr);
    Key(Focus(), Qt::Key_Tab);
    EXPECT_EQ(controller.events,
              (std::vector<std::string>{"tab", "shift-tab", "edit 2,3 9", "tab"}));
    EXPECT_EQ(Cell(2, 3).text, "9");
    EXPECT_EQ(Focus(), dialog->Table());
}

TEST_F(QtMappingDialogTest, OkClosesOnlyWhenTheLogicAgrees) {
    Open();
    controller.acceptOk = false;
    QTest::mouseClick(dialog->OkButton(), Qt::LeftButton);
    EXPECT_TRUE(dialog->isVisible());
    controller.acceptOk = true;
    QTest::mouseClick(dialog->OkButton(), Qt::LeftButton);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(controller.events, (std::vector<std::string>{"ok", "ok"}));
}

TEST_F(QtMappingDialogTest, EnterOutsideAnEditorPressesOk) {
    Open();
    Key(dialog->Table(), Qt::Key_Return);
    EXPECT_EQ(controller.events, (std::vector<std::string>{"ok"}));
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
}

TEST_F(QtMappingDialogTest, CancelAndEscapeCloseRejected) {
    Open();
    QTest::mouseClick(dialog->CancelButton(), Qt::LeftButton);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
    Open();
    Key(dialog->Table(), Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
    EXPECT_EQ(controller.events, (std::vector<std::string>{"cancel", "cancel"}));
}

TEST_F(QtMappingDialogTest, ReadOnlyCellsOpenNoEditorAndOkIsDisabled) {
    controller.readOnly = true;
    Open();
    EXPECT_FALSE(dialog->OkButton()->isEnabled());
    Key(dialog->Table(), Qt::Key_F2);
    EXPECT_EQ(Focus(), dialog->Table());
    dialog->Table()->SetCurrentCell(2, 3);
    QTest::keyClicks(dialog->Table(), "5");
    QApplication::processEvents();
    EXPECT_EQ(Focus(), dialog->Table());
    EXPECT_EQ(Cell(2, 3).text, "licks");
    EXPECT_TRUE(controller.events.empty());
}

// Presses the button of the next modal window once it is up, recording its text.
void AnswerNextModal(std::function<void(QWidget*)> answer) {
    QTimer::singleShot(0, [answer = std::move(answer)] {
        std::function<void()> poll;
        auto attempt = std::make_shared<std::function<void()>>();
        *attempt = [answer, attempt] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                answer(modal);
            } else {
                QTimer::singleShot(10, *attempt);
            }
        };
        (*attempt)();
    });
}

TEST(QtMappingToolkit, TheEntryPointAnswersOnlyItsOwnVersion) {
    EXPECT_EQ(zentrix_mapping_toolkit(kZentrixMappingToolkitVersion + 1), nullptr);
    const ZentrixMappingToolkit* toolkit = zentrix_mapping_toolkit(kZentrixMappingToolkitVersion);
    ASSERT_NE(toolkit, nullptr);
    EXPECT_EQ(toolkit->version, kZentrixMappingToolkitVersion);
}

TEST(QtMappingToolkit, RunsTheDialogModallyInTheHostsApplication) {
    const ZentrixMappingToolkit* toolkit = zentrix_mapping_toolkit(kZentrixMappingToolkitVersion);
    RecordingController controller;
    std::string caption;
    AnswerNextModal([&](QWidget* modal) {
        caption = modal->windowTitle().toStdString();
        QTest::mouseClick(static_cast<QtMappingDialog*>(modal)->OkButton(), Qt::LeftButton);
    });
    int accepted = 0;
    EXPECT_EQ(toolkit->runDialog(&controller, &accepted), kZentrixToolkitShown);
    EXPECT_EQ(accepted, 1);
    EXPECT_EQ(controller.opened, 1);
    EXPECT_EQ(caption, "Port Device Mapping");

    AnswerNextModal([](QWidget* modal) { static_cast<QDialog*>(modal)->reject(); });
    EXPECT_EQ(toolkit->runDialog(&controller, &accepted), kZentrixToolkitShown);
    EXPECT_EQ(accepted, 0);
    EXPECT_EQ(controller.opened, 2);
}

TEST(QtMappingToolkit, ShowsMessagesInAMessageBox) {
    const ZentrixMappingToolkit* toolkit = zentrix_mapping_toolkit(kZentrixMappingToolkitVersion);
    std::string text;
    AnswerNextModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        text = box->text().toStdString();
        box->button(QMessageBox::Ok)->click();
    });
    EXPECT_EQ(toolkit->showMessage("No iobox connected, connect one or more ioboxes and run the "
                                   "program again"),
              kZentrixToolkitShown);
    EXPECT_EQ(text, "No iobox connected, connect one or more ioboxes and run the program again");
}

}  // namespace

int main(int argc, char** argv) {
    // The host's own application, on a platform that needs no display.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
