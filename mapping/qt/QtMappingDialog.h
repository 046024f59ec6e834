// The mapping dialog's window and table in Qt Widgets: the toolkit side of MappingView.h. The
// table reports every user action to the logic's hooks and stores nothing on its own.
#ifndef ZENTRIX_MAPPING_QT_QTMAPPINGDIALOG_H
#define ZENTRIX_MAPPING_QT_QTMAPPINGDIALOG_H

#include <QComboBox>
#include <QDialog>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTimer>
#include <functional>
#include <optional>
#include <vector>

#include "mapping/MappingView.h"

namespace zentrix::qt {

// The list of a drop-down cell; tells when its popup closes, which is when a pick is made.
class DropDownEditor final : public QComboBox {
public:
    using QComboBox::QComboBox;

    // The list sets the picked entry only after it has closed its popup, so the news waits for
    // the event loop.
    void hidePopup() override {
        // Hiding the list also hides its popup, open or not; only a popup that was open ends the
        // choice.
        const bool wasOpen = view()->isVisible();
        QComboBox::hidePopup();
        if (wasOpen && onPopupClosed && !m_closing) {
            m_closing = true;
            QTimer::singleShot(0, this, [this] {
                m_closing = false;
                onPopupClosed();
            });
        }
    }

    std::function<void()> onPopupClosed;

private:
    bool m_closing = false;
};

// Opens a line edit for Edit cells and a list for DropDownList cells; the table decides what
// happens with the text.
class CellDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override;
    void setEditorData(QWidget* editor, const QModelIndex& index) const override;
    void setModelData(QWidget*, QAbstractItemModel*, const QModelIndex&) const override {}

protected:
    // Enter ends the edit here and goes no further, so that it never also presses OK.
    bool eventFilter(QObject* object, QEvent* event) override;
};

class QtMappingTable final : public QTableWidget, public MappingTable {
public:
    QtMappingTable(MappingTableHooks& hooks, QWidget* parent);

    void SetColumnHeaders(const std::array<std::string, 3>& headers) override;
    void SetRowCount(int rows) override;
    int GetRowCount() const override;
    int GetColumnCount() const override;
    void SetCell(int row, int column, const CellContent& content) override;
    CellContent GetCell(int row, int column) const override;
    void SetRowBackground(int row, RgbColour colour) override;
    void SetCurrentCell(int row, int column) override;
    CellPosition GetCurrentCell() const override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void commitData(QWidget* editor) override;
    void closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) override;

private:
    QTableWidgetItem* Item(int row, int column) const;

    struct DropDownChange {
        int row;
        int column;
        std::string oldText;
        std::string newText;
    };

    MappingTableHooks& m_hooks;
    std::vector<RgbColour> m_rowColours;
    // An edit whose end the logic is deciding on, or has refused: its editor stays open.
    bool m_inEditHook = false;
    QWidget* m_refusedEditor = nullptr;
    std::optional<DropDownChange> m_pendingChange;
};

class QtMappingDialog final : public QDialog, public MappingDialogWindow {
public:
    QtMappingDialog(MappingDialogController& controller, QWidget* parent);

    MappingTable& GetTable() override { return *m_table; }
    void SetBoxEntries(const std::vector<BoxEntry>& entries) override;
    void SelectBoxEntry(std::size_t index) override;
    std::int32_t GetSelectedBoxValue() const override;
    void SetOkEnabled(bool enabled) override;

    QComboBox* BoxList() const { return m_boxList; }
    QtMappingTable* Table() const { return m_table; }
    QPushButton* OkButton() const { return m_ok; }
    QPushButton* CancelButton() const { return m_cancel; }

    void reject() override;

private:
    MappingDialogController& m_controller;
    QComboBox* m_boxList;
    QtMappingTable* m_table;
    QPushButton* m_ok;
    QPushButton* m_cancel;
    bool m_fillingBoxList = false;
};

// Runs the dialog modally in the application that ensures exists.
DialogResult RunMappingDialog(MappingDialogController& controller);
// A modal message box with an OK button over the active window.
void ShowMappingMessage(const std::string& text);

}  // namespace zentrix::qt

#endif
