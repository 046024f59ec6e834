// The "Port Device Mapping" dialog's logic: the box list, the table of one box's rows and the
// checks on OK, written against the toolkit-free view interfaces. Runs on the GUI thread while
// the dialog is modal; it changes only its own model, never the hardware setup.
#ifndef ZENTRIX_MAPPING_MAPPINGDIALOG_H
#define ZENTRIX_MAPPING_MAPPINGDIALOG_H

#include <cstdint>
#include <memory>
#include <string>

#include "mapping/Links.h"
#include "mapping/MappingView.h"

class TCHiIobHardwareSetup;

// The table: shows the rows of one IO box and turns the user's edits into model changes.
class TCHiIobPortMappingGrid : public zentrix::MappingTableHooks {
public:
    TCHiIobPortMappingGrid(TCHiIobPortMappings& model, bool readOnly,
                           zentrix::MessageService& messages);
    ~TCHiIobPortMappingGrid() override = default;
    TCHiIobPortMappingGrid(const TCHiIobPortMappingGrid&) = delete;
    TCHiIobPortMappingGrid& operator=(const TCHiIobPortMappingGrid&) = delete;

    // The table stays the caller's; every other operation needs one attached.
    void Attach(zentrix::MappingTable& table) { m_pTable = &table; }
    void SetIOBox(std::int32_t ioBoxId, bool refresh);
    std::int32_t GetIOBox() const { return m_iIOBoxId; }
    // Headers, the rows of the current box, and cell (1, 1) current.
    void InitializeGrid();
    // Rewrites every row of the current box; false when the model has no such box.
    bool Refresh();
    // The OK check of the box on show; a failure is shown to the user.
    bool Validate();

    void OnDropDownChanged(int row, int column, const std::string& oldText,
                           const std::string& newText) override;
    bool OnEditFinished(int row, int column, const std::string& text) override;
    void OnTabKey(bool backwards) override;

private:
    TCHiIobPortMappings& m_model;
    bool m_bReadOnly;
    zentrix::MessageService& m_messages;
    zentrix::MappingTable* m_pTable = nullptr;
    std::int32_t m_iIOBoxId = -1;
};

// The dialog around the table: the "IO Interface:" box list, OK and Cancel.
class TCHiIobDlgPortMapping : public zentrix::MappingDialogController {
public:
    // Builds the model from the setup, which is only read while the dialog lives.
    TCHiIobDlgPortMapping(const TCHiIobHardwareSetup& setup, bool readOnly,
                          zentrix::MessageService& messages);
    ~TCHiIobDlgPortMapping() override;
    TCHiIobDlgPortMapping(const TCHiIobDlgPortMapping&) = delete;
    TCHiIobDlgPortMapping& operator=(const TCHiIobDlgPortMapping&) = delete;

    void Open(zentrix::MappingDialogWindow& window) override;
    void OnBoxSelectionChanged() override;
    bool OnOk() override;
    void OnCancel() override {}
    void OnDropDownChanged(int row, int column, const std::string& oldText,
                           const std::string& newText) override;
    bool OnEditFinished(int row, int column, const std::string& text) override;
    void OnTabKey(bool backwards) override;

    // The edited mapping, for the setup to apply after OK.
    const TCHiIobPortMappings& GetPortMappings() const { return *m_pModel; }
    TCHiIobPortMappingGrid& GetGrid() { return *m_pGrid; }

private:
    const TCHiIobHardwareSetup& m_setup;
    bool m_bReadOnly;
    std::unique_ptr<TCHiIobPortMappings> m_pModel;
    std::unique_ptr<TCHiIobPortMappingGrid> m_pGrid;
    zentrix::MappingDialogWindow* m_pWindow = nullptr;
};

#endif
