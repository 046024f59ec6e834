// Whether a window can be shown in this process: a toolkit started without a display aborts the
// whole process, so the plug-in asks this before it creates anything graphical.
#ifndef ZENTRIX_PLATFORM_DISPLAY_H
#define ZENTRIX_PLATFORM_DISPLAY_H

#include <string>

namespace zentrix {

// True when DISPLAY names a reachable X server, WAYLAND_DISPLAY is set, or QT_QPA_PLATFORM names
// a platform that needs neither (offscreen, vnc, ...).
bool DisplayAvailable();

// The user-facing explanation of how to get a display, for hosts that print it.
std::string NoDisplayAdvice();

}  // namespace zentrix

#endif
