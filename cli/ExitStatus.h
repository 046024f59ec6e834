// The exit statuses of the zentrix host, as the README's table documents them.
#ifndef ZENTRIX_CLI_EXITSTATUS_H
#define ZENTRIX_CLI_EXITSTATUS_H

namespace zentrix::cli {

inline constexpr int kExitDone = 0;
inline constexpr int kExitError = 1;
inline constexpr int kExitUsage = 2;
// A box the setup names was not connected at the start, or was lost during the session, so the
// session's data do not cover it; this outranks every status but a usage error.
inline constexpr int kExitBoxMissing = 3;
inline constexpr int kExitInterrupted = 130;

}  // namespace zentrix::cli

#endif
