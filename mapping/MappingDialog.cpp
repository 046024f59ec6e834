#include "mapping/MappingDialog.h"

#include <algorithm>
#include <vector>

#include "iobox/Port.h"
#include "platform/StringResources.h"
#include "resources/StringTable.h"
#include "setup/HardwareSetup.h"

namespace {

constexpr int kPortColumn = 1;
constexpr int kDeviceTypeColumn = 2;
constexpr int kDeviceIdColumn = 3;
constexpr zentrix::RgbColour kOddRowColour{255, 255, 255};
constexpr zentrix::RgbColour kEvenRowColour{235, 241, 222};

const char* const kPlaceholderBoxText = "<none connected>";
const char* const kBoxTextPrefix = "Tamsel IO box ";

std::vector<std::string> SplitChoices(const std::string& choiceList) {
    const std::string separator = zentrix::LoadStringResource(IDS_CHOICE_SEPARATOR);
    std::vector<std::string> choices;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = choiceList.find(separator, start);
        if (end == std::string::npos) {
            choices.push_back(choiceList.substr(start));
            return choices;
        }
        choices.push_back(choiceList.substr(start, end - start));
        start = end + separator.size();
    }
}

std::string PortLabel(const TCHiIobPortLink& row) {
    if (row.m_pConnectorData != nullptr) {
        return zentrix::LoadStringResource(IDS_POSITION_INDENT) +
               zentrix::LoadStringResource(IDS_INTERFACE_PORT) + " " +
               std::to_string(row.m_pConnectorData->GetPosition());
    }
    return row.m_pPort != nullptr ? row.m_pPort->GetName() : std::string();
}

}  // namespace

TCHiIobPortMappingGrid::TCHiIobPortMappingGrid(TCHiIobPortMappings& model, bool readOnly,
                                               zentrix::MessageService& messages)
    : m_model(model), m_bReadOnly(readOnly), m_messages(messages) {}

void TCHiIobPortMappingGrid::SetIOBox(std::int32_t ioBoxId, bool refresh) {
    m_iIOBoxId = ioBoxId;
    if (refresh) {
        Refresh();
    }
}

void TCHiIobPortMappingGrid::InitializeGrid() {
    m_pTable->SetColumnHeaders({zentrix::LoadStringResource(IDS_COLUMN_PORTS),
                                zentrix::LoadStringResource(IDS_COLUMN_DEVICE_TYPE),
                                zentrix::LoadStringResource(IDS_COLUMN_DEVICE_ID)});
    Refresh();
    m_pTable->SetCurrentCell(1, kPortColumn);
}

bool TCHiIobPortMappingGrid::Refresh() {
    const TCHiIobIOBoxLinks* entry = m_model.FindIOBoxLinks(m_iIOBoxId);
    if (entry == nullptr) {
        return false;
    }
    const int rows = TCHiIobPortMappings::GetRowCount(entry);
    m_pTable->SetRowCount(rows);
    const std::string enterId = zentrix::LoadStringResource(IDS_ENTER_DEVICE_ID);
    for (int r = 1; r <= rows; ++r) {
        const TCHiIobPortLink& row = *TCHiIobPortMappings::GetRow(entry, r);
        m_pTable->SetCell(r, kPortColumn, {PortLabel(row), zentrix::CellControl::Static, {}, true});

        zentrix::CellContent type;
        std::string choiceList;
        m_model.GetCellTexts(row, type.text, choiceList);
        type.readOnly = m_bReadOnly;
        if (!m_bReadOnly) {
            type.control = zentrix::CellControl::DropDownList;
            type.choices = SplitChoices(choiceList);
        }
        m_pTable->SetCell(r, kDeviceTypeColumn, type);

        zentrix::CellContent id;
        const bool connectorRow = row.m_pConnectorType != nullptr;
        if (!connectorRow) {
            id.text = row.m_strDeviceId.empty() ? enterId : row.m_strDeviceId;
        }
        id.control = m_bReadOnly ? zentrix::CellControl::Static : zentrix::CellControl::Edit;
        id.readOnly = m_bReadOnly || connectorRow;
        m_pTable->SetCell(r, kDeviceIdColumn, id);

        m_pTable->SetRowBackground(r, r % 2 == 1 ? kOddRowColour : kEvenRowColour);
    }
    return true;
}

bool TCHiIobPortMappingGrid::Validate() {
    const TCHiIobIOBoxLinks* entry = m_model.FindIOBoxLinks(m_iIOBoxId);
    if (entry == nullptr) {
        return false;
    }
    std::string message;
    if (!m_model.ValidateIOBox(*entry, message)) {
        m_messages.ShowMessage(message);
        return false;
    }
    return true;
}

void TCHiIobPortMappingGrid::OnDropDownChanged(int row, int column, const std::string& oldText,
                                               const std::string& newText) {
    if (column != kDeviceTypeColumn || oldText == newText || m_bReadOnly) {
        return;
    }
    TCHiIobIOBoxLinks* entry = m_model.FindIOBoxLinks(m_iIOBoxId);
    TCHiIobPortLink* link = TCHiIobPortMappings::GetRow(entry, row);
    if (link == nullptr) {
        return;
    }
    const TCHiIobDeviceType* deviceType = m_model.FindDeviceType(newText);
    const TCHiIobConnectorType* connectorType = m_model.FindConnectorType(newText);
    if (deviceType == nullptr && link->m_pConnectorData != nullptr) {
        link->m_pDeviceType = nullptr;
        Refresh();
        return;
    }
    if (link->m_pConnectorType != nullptr) {
        TCHiIobPortMappings::RemovePositionRows(*entry, *link);
    }
    link->m_pDeviceType = deviceType;
    link->m_pConnectorType = connectorType;
    if (link->m_pConnectorType != nullptr) {
        link->m_strDeviceId.clear();
        TCHiIobPortMappings::InsertPositionRows(*entry, *link);
    }
    if (link->m_pDeviceType != nullptr && link->m_strDeviceId.empty()) {
        m_model.AssignDefaultDeviceId(*link);
    }
    Refresh();
}

bool TCHiIobPortMappingGrid::OnEditFinished(int row, int column, const std::string& text) {
    if (column != kDeviceIdColumn || m_bReadOnly) {
        return true;
    }
    TCHiIobPortLink* link = TCHiIobPortMappings::GetRow(m_model.FindIOBoxLinks(m_iIOBoxId), row);
    if (link == nullptr) {
        return true;
    }
    if (IsMissingDeviceId(text)) {
        link->m_strDeviceId = text;
        Refresh();
        return true;
    }
    std::string message;
    if (!m_model.CheckUniqueDeviceId(*link, text, message)) {
        m_messages.ShowMessage(message);
        return false;
    }
    link->m_strDeviceId = text;
    zentrix::CellContent cell = m_pTable->GetCell(row, column);
    cell.text = text;
    m_pTable->SetCell(row, column, cell);
    return true;
}

void TCHiIobPortMappingGrid::OnTabKey(bool backwards) {
    const zentrix::CellPosition current = m_pTable->GetCurrentCell();
    const int lastRow = m_pTable->GetRowCount();
    const int lastColumn = m_pTable->GetColumnCount();
    if (!backwards) {
        if (current.column < lastColumn) {
            m_pTable->SetCurrentCell(current.row, current.column + 1);
        } else if (current.row < lastRow) {
            m_pTable->SetCurrentCell(current.row + 1, kDeviceTypeColumn);
        }
        return;
    }
    if (current.column > kDeviceTypeColumn) {
        m_pTable->SetCurrentCell(current.row, current.column - 1);
    } else if (current.row > 1) {
        m_pTable->SetCurrentCell(current.row - 1, lastColumn);
    }
}

TCHiIobDlgPortMapping::TCHiIobDlgPortMapping(const TCHiIobHardwareSetup& setup, bool readOnly,
                                             zentrix::MessageService& messages)
    : m_setup(setup),
      m_bReadOnly(readOnly),
      m_pModel(std::make_unique<TCHiIobPortMappings>(setup)),
      m_pGrid(std::make_unique<TCHiIobPortMappingGrid>(*m_pModel, readOnly, messages)) {}

TCHiIobDlgPortMapping::~TCHiIobDlgPortMapping() {
    m_pGrid.reset();
    m_pModel.reset();
}

void TCHiIobDlgPortMapping::Open(zentrix::MappingDialogWindow& window) {
    m_pWindow = &window;
    std::vector<zentrix::BoxEntry> entries;
    for (const std::int32_t id : m_setup.ListIOBoxIds()) {
        entries.push_back(
            {id == -1 ? kPlaceholderBoxText : kBoxTextPrefix + std::to_string(id), id});
    }
    std::stable_sort(
        entries.begin(), entries.end(),
        [](const zentrix::BoxEntry& a, const zentrix::BoxEntry& b) { return a.text < b.text; });
    window.SetBoxEntries(entries);
    if (!entries.empty()) {
        window.SelectBoxEntry(0);
    }
    m_pGrid->Attach(window.GetTable());
    m_pGrid->SetIOBox(window.GetSelectedBoxValue(), false);
    m_pGrid->InitializeGrid();
    window.SetOkEnabled(!m_bReadOnly);
}

void TCHiIobDlgPortMapping::OnBoxSelectionChanged() {
    m_pGrid->SetIOBox(m_pWindow->GetSelectedBoxValue(), true);
}

bool TCHiIobDlgPortMapping::OnOk() {
    // OK is disabled in read-only mode; a window that still reports it gets nothing to apply.
    return !m_bReadOnly && m_pGrid->Validate();
}

void TCHiIobDlgPortMapping::OnDropDownChanged(int row, int column, const std::string& oldText,
                                              const std::string& newText) {
    m_pGrid->OnDropDownChanged(row, column, oldText, newText);
}

bool TCHiIobDlgPortMapping::OnEditFinished(int row, int column, const std::string& text) {
    return m_pGrid->OnEditFinished(row, column, text);
}

void TCHiIobDlgPortMapping::OnTabKey(bool backwards) {
    m_pGrid->OnTabKey(backwards);
}
