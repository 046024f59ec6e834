// What the port-mapping dialog's logic needs of a windowing toolkit: a three-column table, the
// window around it, a message box and a way to run the window modally. The logic implements the
// hook interfaces and a toolkit implements the rest, so the logic builds and is tested without
// any GUI library. Everything here is used on the GUI thread only (the host's thread, which runs
// the dialog modally); no call may come from another thread.
//
// Numbering follows the table as the user sees it: rows count from 1 (row 0 is the header row),
// columns from 1 to 3 ("Ports", "Device type", "Device ID").
//
// Re-entrance: the logic may rewrite any cell, change the row count, set the current cell and
// show a message box from inside every hook. A table whose editor is still open when it calls a
// hook must cope with that (for example by closing the editor before calling the drop-down hook).
#ifndef ZENTRIX_MAPPING_MAPPINGVIEW_H
#define ZENTRIX_MAPPING_MAPPINGVIEW_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zentrix {

enum class CellControl {
    Static,        // plain text, never editable
    Edit,          // a line edit over the cell's text
    DropDownList,  // a list of fixed choices; the user cannot type free text
};

struct CellContent {
    std::string text;
    CellControl control = CellControl::Static;
    // The entries of a DropDownList cell in display order; empty for the other controls.
    std::vector<std::string> choices;
    // A read-only cell shows its text but opens no editor and no list.
    bool readOnly = true;
};

struct RgbColour {
    std::uint8_t red = 255;
    std::uint8_t green = 255;
    std::uint8_t blue = 255;

    friend bool operator==(const RgbColour&, const RgbColour&) = default;
};

struct CellPosition {
    int row = 0;
    int column = 0;

    friend bool operator==(const CellPosition&, const CellPosition&) = default;
};

// What the user does in the table, reported to the logic.
class MappingTableHooks {
public:
    virtual ~MappingTableHooks() = default;

    // The user picked `newText` in the drop-down cell, which showed `oldText` before. Called only
    // when the two differ; the table already shows `newText`, and the logic rewrites the cells it
    // needs to.
    virtual void OnDropDownChanged(int row, int column, const std::string& oldText,
                                   const std::string& newText) = 0;
    // The user ends editing an Edit cell (Enter, Tab, or moving to another cell) with `text`.
    // False refuses: the editor stays open with `text` and the cell keeps its old value. True:
    // the editor closes and the table does not store `text` itself; the cell shows what the logic
    // has set during the call (the logic sets the text when it accepts it). Escape cancels the
    // edit without calling this.
    virtual bool OnEditFinished(int row, int column, const std::string& text) = 0;
    // The user pressed Tab (backwards: Shift+Tab) while the table has the focus. The table does
    // no Tab handling of its own: it does not move the focus out of the table either.
    virtual void OnTabKey(bool backwards) = 0;
};

// The table of one IO box's rows. Owned by the dialog window.
class MappingTable {
public:
    virtual ~MappingTable() = default;

    // The header texts of columns 1 to 3.
    virtual void SetColumnHeaders(const std::array<std::string, 3>& headers) = 0;
    // Rows beyond the new count are dropped; new rows are empty read-only static cells.
    virtual void SetRowCount(int rows) = 0;
    virtual int GetRowCount() const = 0;
    virtual int GetColumnCount() const = 0;
    virtual void SetCell(int row, int column, const CellContent& content) = 0;
    virtual CellContent GetCell(int row, int column) const = 0;
    virtual void SetRowBackground(int row, RgbColour colour) = 0;
    // Moves the current cell (and the keyboard focus within the table) without opening an editor.
    virtual void SetCurrentCell(int row, int column) = 0;
    // {0, 0} when there is no current cell.
    virtual CellPosition GetCurrentCell() const = 0;
};

// One entry of the "IO Interface:" box list.
struct BoxEntry {
    std::string text;
    std::int32_t value = 0;
};

// What the user does with the dialog window, reported to the logic.
class MappingDialogHooks {
public:
    virtual ~MappingDialogHooks() = default;

    // The user selected another entry of the box list (not called for SelectBoxEntry).
    virtual void OnBoxSelectionChanged() = 0;
    // The user pressed OK; true lets the window close with DialogResult::Accepted, false keeps it
    // open (the logic has then told the user why).
    virtual bool OnOk() = 0;
    // The user pressed Cancel, Escape or the window's close button; the window then closes with
    // DialogResult::Rejected whatever the logic does.
    virtual void OnCancel() = 0;
};

// The "Port Device Mapping" window: the box list, the table, OK and Cancel.
class MappingDialogWindow {
public:
    virtual ~MappingDialogWindow() = default;

    virtual MappingTable& GetTable() = 0;
    // Replaces the box list's entries, shown in the given order; nothing is selected afterwards.
    virtual void SetBoxEntries(const std::vector<BoxEntry>& entries) = 0;
    virtual void SelectBoxEntry(std::size_t index) = 0;
    // The value of the selected entry, 0 when none is selected.
    virtual std::int32_t GetSelectedBoxValue() const = 0;
    virtual void SetOkEnabled(bool enabled) = 0;
};

// A modal message box with the text and an OK button only; returns when the user dismissed it.
class MessageService {
public:
    virtual ~MessageService() = default;

    virtual void ShowMessage(const std::string& text) = 0;
};

enum class DialogResult { Accepted, Rejected };

// The dialog's logic as the runner sees it: the hooks of both interfaces plus the opening step.
class MappingDialogController : public MappingDialogHooks, public MappingTableHooks {
public:
    // Called once the window and its table exist, before the window is shown; fills them. The
    // window stays valid until the runner returns; every hook comes after this call.
    virtual void Open(MappingDialogWindow& window) = 0;
};

// Provided by the toolkit side: shows messages and runs the window modally.
class MappingDialogRunner {
public:
    virtual ~MappingDialogRunner() = default;

    virtual MessageService& GetMessageService() = 0;
    // Creates the window, calls controller.Open, shows the window modally, routes every user
    // action to the controller's hooks and returns how the window closed. The window is
    // destroyed before this returns; the controller is not owned.
    virtual DialogResult Run(MappingDialogController& controller) = 0;
};

}  // namespace zentrix

#endif
