#include "sampling/Sampler.h"

#include <boost/thread/thread.hpp>
#include <exception>
#include <string>

#include "platform/Log.h"
#include "sampling/PeriodRecorder.h"
#include "setup/Controller.h"
#include "setup/HardwareSetup.h"

namespace {

constexpr std::uint32_t kPeriodSleepMs = 2;

}  // namespace

TCHiIobSampler::TCHiIobSampler(TCHiIobHardwareSetup* setup) : m_pSetup(setup) {}

TCHiIobSampler::~TCHiIobSampler() {
    Shutdown();
}

void TCHiIobSampler::Start() {
    if (m_pThread) {
        return;
    }
    m_pSetup->BeginSampling();
    m_iRunFlag.exchange(1);
    try {
        m_pThread = std::make_unique<boost::thread>(&TCHiIobSampler::Run, this);
    } catch (...) {
        // Without a thread the sampler counts as stopped; a later Start begins again.
        m_pThread.reset();
    }
}

bool TCHiIobSampler::Stop() {
    if (!m_pThread) {
        return true;
    }
    m_iRunFlag.exchange(0);
    try {
        m_pThread->join();
    } catch (...) {
        return false;
    }
    m_pThread.reset();
    m_pSetup->EndSampling();
    return true;
}

void TCHiIobSampler::Shutdown() noexcept {
    try {
        const boost::this_thread::disable_interruption uninterruptible;
        Stop();
    } catch (...) {
        // Finishing sampling failed after the thread ended; nothing of it is left to run.
    }
}

void TCHiIobSampler::Run() {
    zentrix::Clock& clock = m_pSetup->GetClock();
    zentrix::PeriodRecorder& recorder = m_pSetup->GetController().GetPeriodRecorder();
    // Only the first of a run of failed passes is logged, so that a lasting fault does not flood
    // the log every period.
    std::uint64_t failedPasses = 0;
    while (m_iRunFlag.load() != 0) {
        const zentrix::PeriodMeter meter;
        // A pass that fails (out of memory, say) must not end sampling while the host expects it
        // to go on; the next period tries again.
        try {
            Sample();
            if (failedPasses != 0) {
                zentrix::LogLazily(zentrix::LogLevel::Info, "sampler", [&] {
                    return "sampling passes succeed again after " + std::to_string(failedPasses) +
                           " failed";
                });
                failedPasses = 0;
            }
        } catch (const std::exception& error) {
            if (failedPasses++ == 0) {
                zentrix::LogLazily(zentrix::LogLevel::Error, "sampler", [&] {
                    return "a sampling pass failed: " + std::string(error.what()) +
                           "; trying again every period";
                });
            }
        } catch (...) {
            if (failedPasses++ == 0) {
                zentrix::Log(zentrix::LogLevel::Error, "sampler",
                             "a sampling pass failed; trying again every period");
            }
        }
        // An exception escaping the thread would end the process.
        try {
            clock.SleepMs(kPeriodSleepMs);
            if (recorder.IsEnabled()) {
                recorder.Record(meter.Finish(0));
            }
        } catch (...) {
        }
    }
}

void TCHiIobSampler::Sample() {
    m_pSetup->SampleInputs(true);
    m_pSetup->SampleOutputs(true);
}
