#include "sampling/Sampler.h"

#include <algorithm>
#include <boost/thread/thread.hpp>
#include <exception>
#include <string>
#include <utility>

#include "iobox/IOBox.h"
#include "iobox/Timing.h"
#include "platform/Log.h"
#include "platform/ThreadTiming.h"
#include "sampling/PeriodRecorder.h"
#include "setup/Controller.h"
#include "setup/HardwareSetup.h"

namespace {

// Boxes that all sample with lean waits start their periods no closer together than an idle
// period with the protocol's waits lasts, so that an idle box asks no more of the bus; any other
// set of boxes waits the protocol's gap after its passes.
bool AllLean(const std::vector<TCHiIobIOBox*>& boxes) {
    return !boxes.empty() && std::all_of(boxes.begin(), boxes.end(), [](const TCHiIobIOBox* box) {
        return box->GetTiming() == zentrix::Timing::Lean;
    });
}

// Sleeps out the rest of a lean period begun at `startUs`.
void PaceLeanPeriod(zentrix::Clock& clock, std::uint64_t startUs) {
    const std::uint64_t dueUs = startUs + zentrix::kLeanShortestPeriodUs;
    const std::uint64_t nowUs = clock.NowUs();
    if (nowUs < dueUs) {
        clock.SleepUs(static_cast<std::uint32_t>(dueUs - nowUs));
    }
}

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
            ClearEndedLanes(1);
            m_vecThreads.push_back({0, std::make_unique<boost::thread>([this] {
                                        Run();
                                        NoteLaneEnded(0);
                                    })});
            return;
        }
        const auto groups = m_pSetup->GetSamplingGroups();
        ClearEndedLanes(groups.size());
        m_vecThreads.reserve(groups.size());
        for (std::size_t lane = 0; lane < groups.size(); ++lane) {
            m_vecThreads.push_back(
                {lane,
                 std::make_unique<boost::thread>([this, lane, boxes = groups[lane]]() mutable {
                     RunBoxes(static_cast<std::uint32_t>(lane), std::move(boxes));
                     NoteLaneEnded(lane);
                 })});
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
    for (const auto& sampling : m_vecThreads) {
        try {
            sampling.thread->join();
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
            m_vecThreads.back().thread->join();
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

bool TCHiIobSampler::Stop(std::chrono::steady_clock::time_point deadline) {
    if (m_vecThreads.empty()) {
        return true;
    }
    m_iRunFlag.exchange(0);
    std::vector<bool> ended;
    {
        std::unique_lock lock(m_endedMutex);
        const bool allEnded = m_endedCondition.wait_until(lock, deadline, [this] {
            return std::all_of(
                m_vecThreads.begin(), m_vecThreads.end(),
                [this](const SamplingThread& sampling) { return m_vecEndedLanes[sampling.lane]; });
        });
        if (allEnded) {
            lock.unlock();
            // Every thread has left its periods, so the joins return at once.
            return Stop();
        }
        for (const SamplingThread& sampling : m_vecThreads) {
            ended.push_back(m_vecEndedLanes[sampling.lane]);
        }
    }
    // Those that have ended are joined now, so that none is left behind unjoined; the others stay
    // for the next stop.
    std::vector<SamplingThread> running;
    try {
        for (std::size_t i = 0; i < m_vecThreads.size(); ++i) {
            if (ended[i]) {
                m_vecThreads[i].thread->join();
            } else {
                running.push_back(std::move(m_vecThreads[i]));
            }
        }
    } catch (...) {
        return false;
    }
    m_vecThreads.swap(running);
    return false;
}

void TCHiIobSampler::ClearEndedLanes(std::size_t lanes) {
    const std::lock_guard lock(m_endedMutex);
    m_vecEndedLanes.assign(lanes, false);
}

void TCHiIobSampler::NoteLaneEnded(std::size_t lane) noexcept {
    {
        const std::lock_guard lock(m_endedMutex);
        m_vecEndedLanes[lane] = true;
    }
    m_endedCondition.notify_all();
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
    std::vector<TCHiIobIOBox*> boxes;
    for (const auto& group : m_pSetup->GetSamplingGroups()) {
        boxes.insert(boxes.end(), group.begin(), group.end());
    }
    const bool lean = AllLean(boxes);
    std::uint64_t periodStartUs = 0;
    RunPeriods(
        m_iRunFlag, m_pSetup->GetController().GetPeriodRecorder(), 0,
        [&] {
            periodStartUs = clock.NowUs();
            Sample();
        },
        [&] {
            if (lean) {
                PaceLeanPeriod(clock, periodStartUs);
            } else {
                clock.SleepMs(zentrix::kSpecPeriodGapMs);
            }
        });
}

void TCHiIobSampler::RunBoxes(std::uint32_t lane, std::vector<TCHiIobIOBox*> boxes) {
    zentrix::Clock& clock = m_pSetup->GetClock();
    // Only a thread that really sleeps may take a real-time priority: one on virtual time never
    // blocks and would starve the host's thread.
    if (clock.SleepsInRealTime()) {
        zentrix::MakeThisThreadTimely();
    }
    const bool lean = AllLean(boxes);
    // The period's wait begins where its passes ended.
    std::uint64_t periodStartUs = 0;
    std::uint64_t passesEndUs = 0;
    RunPeriods(
        m_iRunFlag, m_pSetup->GetController().GetPeriodRecorder(), lane,
        [&] {
            periodStartUs = clock.NowUs();
            m_pSetup->SampleInputs(boxes, true);
            m_pSetup->SampleOutputs(boxes, true);
            passesEndUs = clock.NowUs();
        },
        [&] {
            if (lean) {
                PaceLeanPeriod(clock, periodStartUs);
            } else {
                clock.SleepMsFrom(passesEndUs != 0 ? passesEndUs : clock.NowUs(),
                                  zentrix::kSpecPeriodGapMs);
            }
            passesEndUs = 0;
        });
}

void TCHiIobSampler::Sample() {
    m_pSetup->SampleInputs(true);
    m_pSetup->SampleOutputs(true);
}
