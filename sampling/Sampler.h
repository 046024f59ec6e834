// The background threads that run the sampling passes. Start and Stop are called on the host's
// thread; the passes of Start and Stop run there too, before the threads exist and after they
// have been joined. Serial sampling runs one thread over every box in turn; concurrent sampling
// one thread per IO-Warrior controller, over the boxes of that controller only, so that no box
// waits for another and no two threads ever talk to one controller.
#ifndef ZENTRIX_SAMPLING_SAMPLER_H
#define ZENTRIX_SAMPLING_SAMPLER_H

#include <atomic>
#include <cstdint>
#include <memory>
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

    TCHiIobHardwareSetup* m_pSetup;
    std::vector<std::unique_ptr<boost::thread>> m_vecThreads;
    std::atomic<std::int32_t> m_iRunFlag{0};
};

#endif
