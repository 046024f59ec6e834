// The one entry point between the plug-in and the library that shows the mapping dialog with a
// real windowing toolkit. The plug-in loads that library only when a dialog or message is to be
// shown, so it loads, samples and saves on machines without the toolkit. Both sides are built
// from this header; a library built from another version refuses the version it is asked for.
#ifndef ZENTRIX_MAPPING_DIALOGTOOLKIT_H
#define ZENTRIX_MAPPING_DIALOGTOOLKIT_H

#include <cstdint>

#include "mapping/MappingView.h"

// Raised whenever this table or the interfaces of MappingView.h change.
inline constexpr std::uint32_t kZentrixMappingToolkitVersion = 1;
inline constexpr const char* kZentrixMappingToolkitEntry = "zentrix_mapping_toolkit";

// What the toolkit's calls report.
enum ZentrixToolkitStatus : int {
    kZentrixToolkitShown = 0,      // the window was shown and closed by the user
    kZentrixToolkitNoDisplay = 1,  // nothing could be shown: no display, nothing was created
    kZentrixToolkitFailed = 2,     // the toolkit failed; nothing was changed
};

extern "C" {

struct ZentrixMappingToolkit {
    std::uint32_t version;
    // A modal message box with the text (UTF-8) and an OK button.
    int (*showMessage)(const char* text);
    // Runs the dialog as zentrix::MappingDialogRunner::Run describes; *accepted is 1 when it
    // closed with OK. No exception leaves it.
    int (*runDialog)(zentrix::MappingDialogController* controller, int* accepted);
};

// The table of the toolkit, or null when it was built for another version.
typedef const ZentrixMappingToolkit* (*ZentrixMappingToolkitEntry)(std::uint32_t version);
}

#endif
