// The background threads that run the sampling passes. Start and Stop are called on the host's
// thread; the passes of Start and Stop run there too, before the threads exist and after they
// have been joined. Serial sampling runs one thread over every box in turn; concurrent sampling
// one thread per IO-Warrior controller, over the boxes of that controller only, so that no box
// waits for another and no two threads ever talk to one controller.
#ifndef ZENTRIX_SAMPLING_SAMPLER_H
#define ZENTRIX_SAMPLING_SAMPLER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace boost {
class thread;
}

class TCHiIobHardwareSetup;
class TCHiIobIOBox;

class TCHiIobSampler {
public:
    explicit TCHiIobSampler(TCHiIobHardwareSetup* setup);
    // Stops a running sampler, finishing sampling included; no exception leaves it.
    virtual ~TCHiIobSampler();
    TCHiIobSampler(const TCHiIobSampler&) = delete;
    TCHiIobSampler& operator=(const TCHiIobSampler&) = delete;

    // Begins sampling on the caller's thread, then starts the threads in the setup's sampling
    // mode; nothing when running. When a thread cannot be created, those already started are
    // stopped again and the sampler counts as stopped.
    void Start();
    // Ends and joins every thread, then finishes sampling on the caller's thread; true when no
    // thread is left (at once when none ran). When a join fails (an interruption of the calling
    // thread), the threads not yet joined are kept and nothing is finished, so that a pass they
    // may still be running never overlaps the end of sampling; false is returned and the next
    // Stop joins again. A box that does not answer holds the stop up by about 250 ms, not by its
    // timeout ladder: its waits are given up and the box is detached.
    bool Stop();
    // Stop that waits for the threads only until the deadline: a thread still in its pass then
    // (a box that stopped answering) is kept for the next Stop and nothing is finished, as after
    // a failed join; the threads that did end are joined. Called on the host's thread, or on the
    // plug-in's own at process exit, never on both at once.
    bool Stop(std::chrono::steady_clock::time_point deadline);
    // Stop before the setup goes: an interruption cannot cut the joins short, since what the
    // threads use is about to be freed, and no exception leaves it.
    void Shutdown() noexcept;
    // Sampling as the host sees it: threads that run and have not been told to stop.
    bool IsRunning() const { return !m_vecThreads.empty() && m_iRunFlag.load() != 0; }
    // The sampling threads that exist now.
    std::size_t GetThreadCount() const { return m_vecThreads.size(); }

private:
    // Serial sampling: every box in turn, one thread, lane 0.
    void Run();
    // Concurrent sampling: one controller's boxes, on a thread of their own.
    void RunBoxes(std::uint32_t lane, std::vector<TCHiIobIOBox*> boxes);
    void Sample();
    void JoinStartedThreads() noexcept;
    // Host thread, before the lanes' threads exist.
    void ClearEndedLanes(std::size_t lanes);
    // The last thing each sampling thread does.
    void NoteLaneEnded(std::size_t lane) noexcept;

    struct SamplingThread {
        std::size_t lane;
        std::unique_ptr<boost::thread> thread;
    };

    TCHiIobHardwareSetup* m_pSetup;
    std::vector<SamplingThread> m_vecThreads;
    std::atomic<std::int32_t> m_iRunFlag{0};
    // Which lanes' threads of the last Start have left their periods, so that a stop can wait for
    // them with a deadline; under m_endedMutex.
    std::mutex m_endedMutex;
    std::condition_variable m_endedCondition;
    std::vector<bool> m_vecEndedLanes;
};

#endif
