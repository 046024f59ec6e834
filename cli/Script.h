// The line syntax of "zentrix run": words separated by blanks, double-quoted words for names with
// blanks (\" and \\ escape inside them), and # starting a comment.
#ifndef ZENTRIX_CLI_SCRIPT_H
#define ZENTRIX_CLI_SCRIPT_H

#include <string>
#include <string_view>
#include <vector>

namespace zentrix::cli {

// Throws CliError for a quoted word that is not closed.
std::vector<std::string> TokenizeScriptLine(std::string_view line);

}  // namespace zentrix::cli

#endif
