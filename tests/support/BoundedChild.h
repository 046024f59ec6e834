// Runs part of a test in a child process that is killed after a few seconds, so that a call that
// blocks or never ends fails the test instead of hanging it.
#ifndef ZENTRIX_TESTS_SUPPORT_BOUNDEDCHILD_H
#define ZENTRIX_TESTS_SUPPORT_BOUNDEDCHILD_H

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <optional>

namespace zentrix::testing {

// The action's result as the child returned it, or nothing when the child could not be started or
// did not end normally within the time.
inline std::optional<bool> RunInBoundedChild(const std::function<bool()>& action,
                                             unsigned seconds = 5) {
    const pid_t child = ::fork();
    if (child < 0) {
        return std::nullopt;
    }
    if (child == 0) {
        ::alarm(seconds);
        bool result = false;
        try {
            result = action();
        } catch (...) {
            result = false;
        }
        // Skips the test framework's exit handlers, which belong to the parent.
        ::_exit(result ? 0 : 1);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return std::nullopt;
        }
    }
    if (!WIFEXITED(status)) {
        return std::nullopt;
    }
    return WEXITSTATUS(status) == 0;
}

}  // namespace zentrix::testing

#endif
