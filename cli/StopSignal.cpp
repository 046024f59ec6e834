#include "StopSignal.h"

#include <signal.h>

#include <algorithm>
#include <csignal>
#include <thread>

namespace zentrix::cli {

namespace {

volatile std::sig_atomic_t g_stopRequested = 0;

extern "C" void OnStopSignal(int signalNumber) {
    if (g_stopRequested != 0 && signalNumber != SIGPIPE) {
        std::signal(signalNumber, SIG_DFL);
        std::raise(signalNumber);
        return;
    }
    g_stopRequested = 1;
}

}  // namespace

void InstallStopHandlers() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocking read of standard input must return so that the loop sees the flag.
    action.sa_flags = 0;
    for (const int signalNumber : {SIGINT, SIGTERM, SIGPIPE}) {
        sigaction(signalNumber, &action, nullptr);
    }
}

bool StopRequested() {
    return g_stopRequested != 0;
}

bool SleepUntil(std::chrono::steady_clock::time_point deadline) {
    constexpr auto kSlice = std::chrono::milliseconds(20);
    while (!StopRequested()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return true;
        }
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(deadline - now, kSlice));
    }
    return false;
}

}  // namespace zentrix::cli
