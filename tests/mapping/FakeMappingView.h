// An in-memory mapping window, table, message box and runner that tests drive like a user would.
#ifndef ZENTRIX_TESTS_MAPPING_FAKEMAPPINGVIEW_H
#define ZENTRIX_TESTS_MAPPING_FAKEMAPPINGVIEW_H

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "mapping/MappingView.h"

namespace zentrix::testing {

class FakeTable final : public MappingTable {
public:
    std::array<std::string, 3> headers;
    std::map<std::pair<int, int>, CellContent> cells;
    std::map<int, RgbColour> backgrounds;
    CellPosition current;
    int rowCount = 0;
    MappingTableHooks* hooks = nullptr;

    void SetColumnHeaders(const std::array<std::string, 3>& texts) override { headers = texts; }
    void SetRowCount(int rows) override {
        rowCount = rows;
        std::erase_if(cells, [rows](const auto& cell) { return cell.first.first > rows; });
        std::erase_if(backgrounds, [rows](const auto& row) { return row.first > rows; });
    }
    int GetRowCount() const override { return rowCount; }
    int GetColumnCount() const override { return 3; }
    void SetCell(int row, int column, const CellContent& content) override {
        EXPECT_TRUE(row >= 1 && row <= rowCount && column >= 1 && column <= 3)
            << "cell " << row << "," << column;
        cells[{row, column}] = content;
    }
    CellContent GetCell(int row, int column) const override {
        const auto it = cells.find({row, column});
        return it == cells.end() ? CellContent{} : it->second;
    }
    void SetRowBackground(int row, RgbColour colour) override { backgrounds[row] = colour; }
    void SetCurrentCell(int row, int column) override { current = {row, column}; }
    CellPosition GetCurrentCell() const override { return current; }

    std::string Text(int row, int column) const { return GetCell(row, column).text; }

    // What the user can do: pick a choice of a drop-down cell, type into an edit cell, press Tab.
    void Choose(int row, const std::string& choice) {
        CellContent& cell = cells.at({row, 2});
        ASSERT_FALSE(cell.readOnly);
        ASSERT_EQ(cell.control, CellControl::DropDownList);
        ASSERT_NE(std::find(cell.choices.begin(), cell.choices.end(), choice), cell.choices.end())
            << choice;
        const std::string old = cell.text;
        if (old == choice) {
            return;
        }
        cell.text = choice;
        hooks->OnDropDownChanged(row, 2, old, choice);
    }
    // Whether editing ended.
    bool Type(int row, const std::string& text) {
        const CellContent& cell = cells.at({row, 3});
        EXPECT_FALSE(cell.readOnly);
        EXPECT_EQ(cell.control, CellControl::Edit);
        if (cell.readOnly || cell.control != CellControl::Edit) {
            return false;
        }
        return hooks->OnEditFinished(row, 3, text);
    }
    void Tab(bool backwards = false) { hooks->OnTabKey(backwards); }
};

class FakeWindow final : public MappingDialogWindow {
public:
    FakeTable table;
    std::vector<BoxEntry> entries;
    int selected = -1;
    bool okEnabled = true;
    MappingDialogHooks* hooks = nullptr;

    MappingTable& GetTable() override { return table; }
    void SetBoxEntries(const std::vector<BoxEntry>& list) override {
        entries = list;
        selected = -1;
    }
    void SelectBoxEntry(std::size_t index) override { selected = static_cast<int>(index); }
    std::int32_t GetSelectedBoxValue() const override {
        return selected < 0 ? 0 : entries[static_cast<std::size_t>(selected)].value;
    }
    void SetOkEnabled(bool enabled) override { okEnabled = enabled; }

    void SelectBox(const std::string& text) {
        const auto it = std::find_if(entries.begin(), entries.end(),
                                     [&text](const BoxEntry& e) { return e.text == text; });
        ASSERT_NE(it, entries.end()) << text;
        selected = static_cast<int>(it - entries.begin());
        hooks->OnBoxSelectionChanged();
    }
};

class FakeMessages final : public MessageService {
public:
    std::vector<std::string> shown;
    void ShowMessage(const std::string& text) override { shown.push_back(text); }
};

// Opens the controller on a fake window, lets the test act as the user and ends the way a modal
// window would: OK closes only when the controller agrees.
class FakeRunner final : public MappingDialogRunner {
public:
    enum class Ending { Ok, Cancel };

    FakeMessages messages;
    // The user's actions; returns how the user tries to end the dialog.
    std::function<Ending(FakeWindow&)> user = [](FakeWindow&) { return Ending::Cancel; };
    int runs = 0;
    int okRefusals = 0;

    MessageService& GetMessageService() override { return messages; }
    DialogResult Run(MappingDialogController& controller) override {
        ++runs;
        FakeWindow window;
        window.hooks = &controller;
        window.table.hooks = &controller;
        controller.Open(window);
        if (user(window) == Ending::Ok) {
            if (window.okEnabled && controller.OnOk()) {
                return DialogResult::Accepted;
            }
            ++okRefusals;
        }
        controller.OnCancel();
        return DialogResult::Rejected;
    }
};

}  // namespace zentrix::testing

#endif
