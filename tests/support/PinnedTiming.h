// Makes the setups a test builds sample with one timing whatever ZENTRIX_TIMING says, for tests of
// the protocol's exact exchanges and times, or of faults that come through the sleeps of spec
// waits; the environment is put back afterwards.
#ifndef ZENTRIX_TESTS_SUPPORT_PINNEDTIMING_H
#define ZENTRIX_TESTS_SUPPORT_PINNEDTIMING_H

#include <cstdlib>
#include <optional>
#include <string>

namespace zentrix::testing {

class PinnedTiming {
public:
    explicit PinnedTiming(const char* choice) {
        if (const char* before = std::getenv("ZENTRIX_TIMING")) {
            m_before = before;
        }
        setenv("ZENTRIX_TIMING", choice, 1);
    }
    ~PinnedTiming() {
        if (m_before) {
            setenv("ZENTRIX_TIMING", m_before->c_str(), 1);
        } else {
            unsetenv("ZENTRIX_TIMING");
        }
    }
    PinnedTiming(const PinnedTiming&) = delete;
    PinnedTiming& operator=(const PinnedTiming&) = delete;

private:
    std::optional<std::string> m_before;
};

}  // namespace zentrix::testing

#endif
