// `zentrix record`: one new folder per session holding every event the plug-in timed, written as
// the events come so that a killed session keeps all but its last moments.
#ifndef ZENTRIX_CLI_RECORD_H
#define ZENTRIX_CLI_RECORD_H

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Commands.h"

namespace zentrix::cli {

struct RecordOptions {
    std::string subject;
    std::filesystem::path outDirectory = ".";
    std::optional<double> durationSeconds;
    std::optional<std::string> note;
    std::vector<RepeatedCommand> repeatedCommands;
    bool allowMissingBoxes = false;
};

// Throws a CliError when the subject cannot begin the name of a folder of its own.
void CheckSubject(const std::string& subject);

// Records until the duration or a stop: 0, 1 when a command sent failed, 3 when a box of the setup
// is not connected at the start (nothing is created then) or is lost during the session.
int RunRecord(HostContext& host, const RecordOptions& options);

}  // namespace zentrix::cli

#endif
