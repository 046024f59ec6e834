#include "sampling/Sampler.h"

#include <boost/thread/thread.hpp>
#include <exception>
#include <string>
#include <utility>

#include "platform/Log.h"
#include "platform/ThreadTiming.h"
#include "sampling/PeriodRecorder.h"
#include "setup/Controller.h"
#include "setup/HardwareSetup.h"

namespace {

constexpr std::uint32_t kPeriodSleepMs = 2;

// Runs one sampling thread's periods until the run flag drops: `sample` does one period's passes,
// then the thread sleeps the period's mandatory wait. A pass that fails must not end sampling
// while the host expects it to go on, and no exception may leave the thread, since that would end
// the process.
template <class SamplePasses, class SleepAfterPasses>
void RunPeriods(const std::atomic<std::int32_t>& runFlag, zentrix::PeriodRecorder& recorder,
                std::uint32_t lane, SamplePasses&& sample, SleepAfterPasses&& sleep) {
    // Only the first of a run of failed passes is logged, so that a lasting fault does not flood
    // the log every period.
    std::uint64_t failedPasses = 0;
    while (runFlag.load() != 0) {
        const zentrix::PeriodMeter meter;
        try {
            sample();
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
        try {
            sleep();
            if (recorder.IsEnabled()) {
                recorder.Record(meter.Finish(lane));
            }
        } catch (...) {
        }
    }
}

}  // namespace

TCHiIobSampler::TCHiIobSampler(TCHiIobHardwareSetup* setup) : m_pSetup(setup) {}

TCHiIobSampler::~TCHiIobSampler() {
    Shutdown();
}

void TCHiIobSampler::Start() {
    if (!m_vecThreads.empty()) {
        return;
    }
    const zentrix::SamplingMode mode = m_pSetup->GetSamplingMode();
    m_pSetup->BeginSampling();
    // From here on a stop may come while a thread waits for a box: the waits are cut in slices.
    m_pSetup->GetReplyWait().store(zentrix::ReplyWait::Sliced);
    m_iRunFlag.exchange(1);
    try {
        if (mode == zentrix::SamplingMode::Serial) {
            m_vecThreads.push_back(std::make_unique<boost::thread>(&TCHiIobSampler::Run, this));
            return;
        }
        const auto groups = m_pSetup->GetSamplingGroups();
        m_vecThreads.reserve(groups.size());
        for (std::size_t lane = 0; lane < groups.size(); ++lane) {
            m_vecThreads.push_back(std::make_unique<boost::thread>(
                &TCHiIobSampler::RunBoxes, this, static_cast<std::uint32_t>(lane), groups[lane]));
        }
    } catch (...) {
        // Without all its threads the sampler counts as stopped; a later Start begins again.
        JoinStartedThreads();
    }
}

void TCHiIobSampler::JoinStartedThreads() noexcept {
    m_pSetup->GetReplyWait().store(zentrix::ReplyWait::Abandon);
    m_iRunFlag.exchange(0);
    const boost::this_thread::disable_interruption uninterruptible;
    for (const auto& thread : m_vecThreads) {
        try {
            thread->join();
        } catch (...) {
        }
    }
    m_vecThreads.clear();
    m_pSetup->GetReplyWait().store(zentrix::ReplyWait::Whole);
}

bool TCHiIobSampler::Stop() {
    if (m_vecThreads.empty()) {
        return true;
    }
    // A thread waiting for a box that does not answer gives it up instead of running out its
    // ladder, and so does the end of sampling below, which must not wait for that box again.
    std::atomic<zentrix::ReplyWait>& replyWait = m_pSetup->GetReplyWait();
    replyWait.store(zentrix::ReplyWait::Abandon);
    m_iRunFlag.exchange(0);
    try {
        while (!m_vecThreads.empty()) {
            m_vecThreads.back()->join();
            m_vecThreads.pop_back();
        }
    } catch (...) {
        return false;
    }
    try {
        m_pSetup->EndSampling();
    } catch (...) {
        replyWait.store(zentrix::ReplyWait::Whole);
        throw;
    }
    replyWait.store(zentrix::ReplyWait::Whole);
    return true;
}

void TCHiIobSampler::Shutdown() noexcept {
    try {
        const boost::this_thread::disable_interruption uninterruptible;
        Stop();
    } catch (...) {
        // Finishing sampling failed after the threads ended; nothing of it is left to run.
    }
}

void TCHiIobSampler::Run() {
    zentrix::Clock& clock = m_pSetup->GetClock();
    RunPeriods(
        m_iRunFlag, m_pSetup->GetController().GetPeriodRecorder(), 0, [this] { Sample(); },
        [&clock] { clock.SleepMs(kPeriodSleepMs); });
}

void TCHiIobSampler::RunBoxes(std::uint32_t lane, std::vector<TCHiIobIOBox*> boxes) {
    zentrix::Clock& clock = m_pSetup->GetClock();
    // Only a thread that really sleeps may take a real-time priority: one on virtual time never
    // blocks and would starve the host's thread.
    if (clock.SleepsInRealTime()) {
        zentrix::MakeThisThreadTimely();
    }
    // The period's wait begins where its passes ended.
    std::uint64_t passesEndUs = 0;
    RunPeriods(
        m_iRunFlag, m_pSetup->GetController().GetPeriodRecorder(), lane,
        [&] {
            m_pSetup->SampleInputs(boxes, true);
            m_pSetup->SampleOutputs(boxes, true);
            passesEndUs = clock.NowUs();
        },
        [&] {
            clock.SleepMsFrom(passesEndUs != 0 ? passesEndUs : clock.NowUs(), kPeriodSleepMs);
            passesEndUs = 0;
        });
}

void TCHiIobSampler::Sample() {
    m_pSetup->SampleInputs(true);
    m_pSetup->SampleOutputs(true);
}
