// Ctrl-C, SIGTERM and a closed output pipe ask the sampling loops to finish cleanly instead of
// killing the process with the sampler running.
#ifndef ZENTRIX_CLI_STOPSIGNAL_H
#define ZENTRIX_CLI_STOPSIGNAL_H

#include <chrono>

namespace zentrix::cli {

// A second Ctrl-C or SIGTERM ends the process at once, for a plug-in call that never returns.
void InstallStopHandlers();

bool StopRequested();

// Sleeps until the deadline in short slices; false when a stop was requested first.
bool SleepUntil(std::chrono::steady_clock::time_point deadline);

}  // namespace zentrix::cli

#endif
