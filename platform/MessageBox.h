// Messages the plug-in shows to the user. Without a windowing system the text goes to standard
// error, one message per line block, so that a console host still shows it.
#ifndef ZENTRIX_PLATFORM_MESSAGEBOX_H
#define ZENTRIX_PLATFORM_MESSAGEBOX_H

#include <string>

namespace zentrix {

// An informational message with an OK button only; returns when the user has seen it.
void ShowMessageBox(const std::string& text);

}  // namespace zentrix

#endif
