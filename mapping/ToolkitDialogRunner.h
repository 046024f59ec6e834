// Runs the mapping dialog through the toolkit library that lies next to the plug-in, loaded on
// first use and kept loaded for the process's life (a toolkit cannot be unloaded safely once it
// has created its application object). Without that library, or without a display, nothing is
// shown, the dialog counts as cancelled and messages go to standard error.
#ifndef ZENTRIX_MAPPING_TOOLKITDIALOGRUNNER_H
#define ZENTRIX_MAPPING_TOOLKITDIALOGRUNNER_H

#include <filesystem>

#include "mapping/DialogToolkit.h"
#include "mapping/MappingView.h"

namespace zentrix {

// The toolkit library in the directory of the binary that holds the plug-in's code, as an absolute
// path fixed when that binary was loaded; empty when that directory is not known.
std::filesystem::path DefaultToolkitLibraryPath();

class ToolkitDialogRunner final : public MappingDialogRunner, private MessageService {
public:
    explicit ToolkitDialogRunner(std::filesystem::path library = DefaultToolkitLibraryPath());

    MessageService& GetMessageService() override { return *this; }
    DialogResult Run(MappingDialogController& controller) override;

private:
    void ShowMessage(const std::string& text) override;
    // Null (logged) when the library is missing or not the one this plug-in was built with.
    const ZentrixMappingToolkit* Toolkit();

    std::filesystem::path m_library;
};

}  // namespace zentrix

#endif
