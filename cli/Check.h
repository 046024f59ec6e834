// `zentrix check`: which IO-Warrior device nodes the kernel driver offers, which IO boxes they make
// and, for each that cannot be used, why and what to do about it.
#ifndef ZENTRIX_CLI_CHECK_H
#define ZENTRIX_CLI_CHECK_H

#include <ostream>
#include <string>

#include "platform/Clock.h"
#include "platform/LinuxDeviceNodes.h"

namespace zentrix::cli {

struct CheckOptions {
    std::string directory = "/dev/usb";
    // Named by the user (or ZENTRIX_IOWARRIOR=kernel:DIR), so it must exist; the default appears
    // only once the driver has a device.
    bool directoryNamed = false;
    // Present while the kernel's iowarrior module is loaded.
    std::string moduleDirectory = "/sys/module/iowarrior";
    bool json = false;
};

// Prints the findings and returns the exit status: 0 when every controller found can be used
// (also when none is attached), 1 otherwise; throws a CliError for a named directory that is not
// there.
int CheckHardware(DeviceNodes& nodes, Clock& clock, const CheckOptions& options, std::ostream& out);

}  // namespace zentrix::cli

#endif
