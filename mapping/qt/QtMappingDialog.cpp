#include "mapping/qt/QtMappingDialog.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <algorithm>
#include <utility>

namespace zentrix::qt {
namespace {

constexpr int kControlRole = Qt::UserRole;
constexpr int kChoicesRole = Qt::UserRole + 1;
constexpr int kReadOnlyRole = Qt::UserRole + 2;

QString ToQString(const std::string& text) {
    return QString::fromStdString(text);
}

std::string ToStdString(const QString& text) {
    return text.toStdString();
}

// Dialog units as Windows defines them: a quarter of the font's average character width across,
// an eighth of its height down.
class DialogUnits {
public:
    explicit DialogUnits(const QFontMetrics& metrics)
        : m_baseX(metrics.horizontalAdvance(
                      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
                  52.0),
          m_baseY(metrics.height()) {}

    QRect Rect(int x, int y, int width, int height) const {
        return {X(x), Y(y), X(width), Y(height)};
    }
    int X(int units) const { return qRound(units * m_baseX / 4.0); }
    int Y(int units) const { return qRound(units * m_baseY / 8.0); }

private:
    double m_baseX;
    double m_baseY;
};

}  // namespace

QWidget* CellDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                                    const QModelIndex& index) const {
    const auto control = static_cast<CellControl>(index.data(kControlRole).toInt());
    QWidget* editor = nullptr;
    if (control == CellControl::DropDownList) {
        auto* list = new DropDownEditor(parent);
        list->addItems(index.data(kChoicesRole).toStringList());
        // A pick in the open list ends the choice at once; arrow keys and typing only move the
        // selection until Enter, so that the logic does not see every entry passed over.
        list->onPopupClosed = [this, list] {
            Q_EMIT const_cast<CellDelegate*>(this)->commitData(list);
            Q_EMIT const_cast<CellDelegate*>(this)->closeEditor(list);
        };
        editor = list;
    } else {
        editor = QStyledItemDelegate::createEditor(parent, option, index);
    }
    editor->setProperty("zentrixRow", index.row());
    editor->setProperty("zentrixColumn", index.column());
    return editor;
}

void CellDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const {
    if (auto* list = qobject_cast<QComboBox*>(editor)) {
        list->setCurrentIndex(list->findText(index.data(Qt::DisplayRole).toString()));
        return;
    }
    QStyledItemDelegate::setEditorData(editor, index);
}

bool CellDelegate::eventFilter(QObject* object, QEvent* event) {
    auto* editor = qobject_cast<QWidget*>(object);
    if (editor != nullptr && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            Q_EMIT commitData(editor);
            Q_EMIT closeEditor(editor);
            return true;
        }
    }
    return QStyledItemDelegate::eventFilter(object, event);
}

QtMappingTable::QtMappingTable(MappingTableHooks& hooks, QWidget* parent)
    : QTableWidget(0, 3, parent), m_hooks(hooks) {
    setItemDelegate(new CellDelegate(this));
    verticalHeader()->hide();
    horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    horizontalHeader()->setSectionsMovable(false);
    horizontalHeader()->setSectionsClickable(false);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked |
                    QAbstractItemView::EditKeyPressed | QAbstractItemView::AnyKeyPressed);
    setTabKeyNavigation(true);
    setWordWrap(false);
}

QTableWidgetItem* QtMappingTable::Item(int row, int column) const {
    if (row < 1 || row > rowCount() || column < 1 || column > columnCount()) {
        return nullptr;
    }
    return item(row - 1, column - 1);
}

void QtMappingTable::SetColumnHeaders(const std::array<std::string, 3>& headers) {
    setHorizontalHeaderLabels(
        {ToQString(headers[0]), ToQString(headers[1]), ToQString(headers[2])});
    for (int column = 0; column < 3; ++column) {
        horizontalHeaderItem(column)->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    }
}

void QtMappingTable::SetRowCount(int rows) {
    const int previous = rowCount();
    setRowCount(rows);
    m_rowColours.resize(static_cast<std::size_t>(std::max(rows, 0)));
    for (int row = previous + 1; row <= rows; ++row) {
        for (int column = 1; column <= 3; ++column) {
            SetCell(row, column, CellContent{});
        }
    }
}

int QtMappingTable::GetRowCount() const {
    return rowCount();
}

int QtMappingTable::GetColumnCount() const {
    return columnCount();
}

void QtMappingTable::SetCell(int row, int column, const CellContent& content) {
    if (row < 1 || row > rowCount() || column < 1 || column > columnCount()) {
        return;
    }
    QTableWidgetItem* cell = item(row - 1, column - 1);
    if (cell == nullptr) {
        cell = new QTableWidgetItem;
        setItem(row - 1, column - 1, cell);
    }
    QStringList choices;
    for (const std::string& choice : content.choices) {
        choices.push_back(ToQString(choice));
    }
    cell->setText(ToQString(content.text));
    cell->setData(kControlRole, static_cast<int>(content.control));
    cell->setData(kChoicesRole, choices);
    cell->setData(kReadOnlyRole, content.readOnly);
    cell->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (!content.readOnly && content.control != CellControl::Static) {
        flags |= Qt::ItemIsEditable;
    }
    cell->setFlags(flags);
    const RgbColour colour = m_rowColours[static_cast<std::size_t>(row - 1)];
    cell->setBackground(QColor(colour.red, colour.green, colour.blue));
}

CellContent QtMappingTable::GetCell(int row, int column) const {
    const QTableWidgetItem* cell = Item(row, column);
    if (cell == nullptr) {
        return {};
    }
    CellContent content;
    content.text = ToStdString(cell->text());
    content.control = static_cast<CellControl>(cell->data(kControlRole).toInt());
    for (const QString& choice : cell->data(kChoicesRole).toStringList()) {
        content.choices.push_back(ToStdString(choice));
    }
    content.readOnly = cell->data(kReadOnlyRole).toBool();
    return content;
}

void QtMappingTable::SetRowBackground(int row, RgbColour colour) {
    if (row < 1 || row > rowCount()) {
        return;
    }
    m_rowColours[static_cast<std::size_t>(row - 1)] = colour;
    for (int column = 1; column <= columnCount(); ++column) {
        if (QTableWidgetItem* cell = Item(row, column)) {
            cell->setBackground(QColor(colour.red, colour.green, colour.blue));
        }
    }
}

void QtMappingTable::SetCurrentCell(int row, int column) {
    if (row < 1 || row > rowCount() || column < 1 || column > columnCount()) {
        return;
    }
    setCurrentCell(row - 1, column - 1);
}

CellPosition QtMappingTable::GetCurrentCell() const {
    if (currentRow() < 0 || currentColumn() < 0) {
        return {};
    }
    return {currentRow() + 1, currentColumn() + 1};
}

void QtMappingTable::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Tab || event->key() == Qt::Key_Backtab) {
        m_hooks.OnTabKey(event->key() == Qt::Key_Backtab ||
                         event->modifiers().testFlag(Qt::ShiftModifier));
        event->accept();
        return;
    }
    QTableWidget::keyPressEvent(event);
}

void QtMappingTable::commitData(QWidget* editor) {
    if (m_inEditHook) {
        return;
    }
    const int row = editor->property("zentrixRow").toInt() + 1;
    const int column = editor->property("zentrixColumn").toInt() + 1;
    QTableWidgetItem* cell = Item(row, column);
    if (cell == nullptr) {
        return;
    }
    if (auto* list = qobject_cast<QComboBox*>(editor)) {
        const std::string oldText = ToStdString(cell->text());
        const std::string newText = ToStdString(list->currentText());
        if (list->currentIndex() >= 0 && oldText != newText) {
            cell->setText(list->currentText());
            // The logic may rebuild every row, so it hears of the change once the editor is gone.
            m_pendingChange = DropDownChange{row, column, oldText, newText};
        }
        return;
    }
    if (auto* edit = qobject_cast<QLineEdit*>(editor)) {
        m_inEditHook = true;
        const bool accepted = m_hooks.OnEditFinished(row, column, ToStdString(edit->text()));
        m_inEditHook = false;
        if (!accepted) {
            m_refusedEditor = editor;
        }
    }
}

void QtMappingTable::closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) {
    if (m_inEditHook) {
        return;
    }
    if (editor == m_refusedEditor) {
        m_refusedEditor = nullptr;
        // The refusal's message box took the activation; the user goes on typing in the editor.
        editor->window()->activateWindow();
        editor->setFocus();
        return;
    }
    const bool tab = hint == QAbstractItemDelegate::EditNextItem ||
                     hint == QAbstractItemDelegate::EditPreviousItem;
    QTableWidget::closeEditor(editor, tab ? QAbstractItemDelegate::NoHint : hint);
    if (std::optional<DropDownChange> change = std::exchange(m_pendingChange, std::nullopt)) {
        m_hooks.OnDropDownChanged(change->row, change->column, change->oldText, change->newText);
    }
    if (tab) {
        setFocus();
        m_hooks.OnTabKey(hint == QAbstractItemDelegate::EditPreviousItem);
    }
}

QtMappingDialog::QtMappingDialog(MappingDialogController& controller, QWidget* parent)
    : QDialog(parent), m_controller(controller) {
    setWindowTitle(QStringLiteral("Port Device Mapping"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    const DialogUnits units(fontMetrics());

    // Created in the window's tab order: OK, Cancel, table, box list, label.
    m_ok = new QPushButton(QStringLiteral("OK"), this);
    m_ok->setGeometry(units.Rect(337, 297, 50, 14));
    m_ok->setDefault(true);
    m_ok->setAutoDefault(false);
    m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cancel->setGeometry(units.Rect(393, 297, 50, 14));
    m_cancel->setAutoDefault(false);
    m_table = new QtMappingTable(controller, this);
    m_table->setGeometry(units.Rect(7, 24, 436, 267));
    m_boxList = new QComboBox(this);
    // The resource's height counts the open list; the closed box is as high as the label line.
    m_boxList->setGeometry(units.X(54), units.Y(6), units.X(118), m_boxList->sizeHint().height());
    auto* label = new QLabel(QStringLiteral("IO Interface:"), this);
    label->setGeometry(units.Rect(8, 8, 44, 8));
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    label->setBuddy(m_boxList);
    setTabOrder(m_ok, m_cancel);
    setTabOrder(m_cancel, m_table);
    setTabOrder(m_table, m_boxList);
    setFixedSize(units.X(450), units.Y(315));
    // The keyboard starts in the table, where the work is, rather than on OK.
    m_table->setFocus();

    connect(m_ok, &QPushButton::clicked, this, [this] {
        if (m_controller.OnOk()) {
            accept();
        }
    });
    connect(m_cancel, &QPushButton::clicked, this, &QtMappingDialog::reject);
    connect(m_boxList, &QComboBox::currentIndexChanged, this, [this] {
        if (!m_fillingBoxList) {
            m_controller.OnBoxSelectionChanged();
        }
    });
}

void QtMappingDialog::SetBoxEntries(const std::vector<BoxEntry>& entries) {
    m_fillingBoxList = true;
    m_boxList->clear();
    for (const BoxEntry& entry : entries) {
        m_boxList->addItem(ToQString(entry.text), entry.value);
    }
    m_boxList->setCurrentIndex(-1);
    m_fillingBoxList = false;
}

void QtMappingDialog::SelectBoxEntry(std::size_t index) {
    m_fillingBoxList = true;
    m_boxList->setCurrentIndex(static_cast<int>(index));
    m_fillingBoxList = false;
}

std::int32_t QtMappingDialog::GetSelectedBoxValue() const {
    return m_boxList->currentIndex() < 0 ? 0 : m_boxList->currentData().toInt();
}

void QtMappingDialog::SetOkEnabled(bool enabled) {
    m_ok->setEnabled(enabled);
}

void QtMappingDialog::reject() {
    m_controller.OnCancel();
    QDialog::reject();
}

DialogResult RunMappingDialog(MappingDialogController& controller) {
    QtMappingDialog window(controller, QApplication::activeWindow());
    controller.Open(window);
    return window.exec() == QDialog::Accepted ? DialogResult::Accepted : DialogResult::Rejected;
}

void ShowMappingMessage(const std::string& text) {
    QMessageBox::information(QApplication::activeWindow(), QStringLiteral("Zentrix"),
                             ToQString(text), QMessageBox::Ok);
}

}  // namespace zentrix::qt
