#include "platform/Display.h"

#include <sys/stat.h>

#include <cstdlib>
#include <string_view>

namespace zentrix {
namespace {

std::string_view Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string_view(value) : std::string_view();
}

// A local display (":N" or ":N.S") whose server socket is gone would make the toolkit abort, so
// its socket must exist; a remote one ("host:N") is left to the toolkit.
bool XDisplayReachable(std::string_view display) {
    if (display.empty()) {
        return false;
    }
    if (display.front() != ':') {
        return true;
    }
    std::string_view number = display.substr(1);
    number = number.substr(0, number.find('.'));
    if (number.empty() || number.find_first_not_of("0123456789") != std::string_view::npos) {
        return false;
    }
    struct stat info {};
    const std::string socket = "/tmp/.X11-unix/X" + std::string(number);
    return ::stat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

}  // namespace

bool DisplayAvailable() {
    const std::string_view platform = Environment("QT_QPA_PLATFORM");
    const std::string_view name = platform.substr(0, platform.find(':'));
    const bool x11 = XDisplayReachable(Environment("DISPLAY"));
    const bool wayland = !Environment("WAYLAND_DISPLAY").empty();
    if (name.empty()) {
        return x11 || wayland;
    }
    if (name == "xcb") {
        return x11;
    }
    if (name.starts_with("wayland")) {
        return wayland;
    }
    return true;
}

std::string NoDisplayAdvice() {
    return "no display is available for the mapping dialog; run `zentrix map` in a desktop "
           "session on this machine, or from a machine that has one over SSH with X forwarding "
           "(ssh -X HOST zentrix map); a HardwareSetup.xml made elsewhere can also be copied into "
           "the configuration directory";
}

}  // namespace zentrix
