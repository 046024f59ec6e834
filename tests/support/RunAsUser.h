// Runs part of a test as an ordinary user, because file permissions do not bind root: as root the
// action runs in a child process that has dropped to the user nobody, otherwise in a child process
// as the current user, so that both ways behave alike.
#ifndef ZENTRIX_TESTS_SUPPORT_RUNASUSER_H
#define ZENTRIX_TESTS_SUPPORT_RUNASUSER_H

#include <grp.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <optional>

namespace zentrix::testing {

inline constexpr uid_t kNobodyId = 65534;

// The user that RunAsUser runs its action as.
inline uid_t OrdinaryUserId() {
    return ::geteuid() == 0 ? kNobodyId : ::geteuid();
}

inline gid_t OrdinaryGroupId() {
    return ::geteuid() == 0 ? static_cast<gid_t>(kNobodyId) : ::getegid();
}

// Makes path owned by the user RunAsUser runs as; true when it is.
inline bool GiveToOrdinaryUser(const std::filesystem::path& path) {
    return ::lchown(path.c_str(), OrdinaryUserId(), OrdinaryGroupId()) == 0;
}

// The action's result as the child returned it, or nothing when the child could not be started,
// could not drop its privileges or did not end normally.
inline std::optional<bool> RunAsUser(const std::function<bool()>& action) {
    constexpr int kTrue = 0;
    constexpr int kFalse = 1;
    constexpr int kNotRun = 2;
    const pid_t child = ::fork();
    if (child < 0) {
        return std::nullopt;
    }
    if (child == 0) {
        if (::geteuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(static_cast<gid_t>(kNobodyId)) != 0 ||
             ::setuid(kNobodyId) != 0 || ::setuid(0) == 0)) {
            ::_exit(kNotRun);
        }
        int result = kNotRun;
        try {
            result = action() ? kTrue : kFalse;
        } catch (...) {
            result = kNotRun;
        }
        // Skips the test framework's exit handlers, which belong to the parent.
        ::_exit(result);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return std::nullopt;
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) == kNotRun) {
        return std::nullopt;
    }
    return WEXITSTATUS(status) == kTrue;
}

}  // namespace zentrix::testing

#endif
