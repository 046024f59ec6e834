// The simulator as a backend: registered as "sim", chosen by ZENTRIX_IOWARRIOR=sim and sim:PATH.
#ifndef ZENTRIX_SIMULATOR_SIMULATORBACKEND_H
#define ZENTRIX_SIMULATOR_SIMULATORBACKEND_H

#include <memory>
#include <string_view>

#include "platform/Clock.h"
#include "platform/IoWarriorLibrary.h"

namespace zentrix::sim {

// The built-in demo bench when benchPath is empty, else the bench described in that JSON file.
// Throws std::exception with a readable message when the file cannot be read or is invalid.
std::unique_ptr<IoWarriorLibrary> CreateSimulatedLibrary(std::string_view benchPath, Clock& clock);

}  // namespace zentrix::sim

#endif
