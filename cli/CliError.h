// The one error type of the command-line host: its message is what the user sees after "zentrix: ".
#ifndef ZENTRIX_CLI_CLIERROR_H
#define ZENTRIX_CLI_CLIERROR_H

#include <stdexcept>
#include <string>

#include "ZentrixInterface.h"

namespace zentrix::cli {

class CliError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A command line that asks for something impossible (a duration of "abc"); exit status 2.
class UsageError : public CliError {
public:
    using CliError::CliError;
};

inline constexpr bool Failed(HRESULT result) noexcept {
    return result < 0;
}

// Formats a status code as hexadecimal with its symbolic name when it is one the header defines.
std::string HresultText(HRESULT result);

// Throws a CliError naming the failed call when result is a failure code.
void ThrowIfFailed(HRESULT result, const std::string& what);

}  // namespace zentrix::cli

#endif
