// The background thread that runs the sampling passes. Start and Stop are called on the host's
// thread; the passes of Start and Stop run there too, before the thread exists and after it has
// been joined, so passes never overlap.
#ifndef ZENTRIX_SAMPLING_SAMPLER_H
#define ZENTRIX_SAMPLING_SAMPLER_H

#include <atomic>
#include <cstdint>
#include <memory>

namespace boost {
class thread;
}

class TCHiIobHardwareSetup;

class TCHiIobSampler {
public:
    explicit TCHiIobSampler(TCHiIobHardwareSetup* setup);
    // Stops a running sampler, finishing sampling included; no exception leaves it.
    virtual ~TCHiIobSampler();
    TCHiIobSampler(const TCHiIobSampler&) = delete;
    TCHiIobSampler& operator=(const TCHiIobSampler&) = delete;

    // Begins sampling on the caller's thread, then starts the thread; nothing when running.
    void Start();
    // Ends and joins the thread, then finishes sampling on the caller's thread; true when no
    // thread is left (at once when none ran). When the join fails (an interruption of the calling
    // thread), the thread is kept and nothing is finished, so that the pass it may still be
    // running never overlaps the end of sampling; false is returned and the next Stop joins again.
    bool Stop();
    // Stop before the setup goes: an interruption cannot cut the join short, since what the
    // thread uses is about to be freed, and no exception leaves it.
    void Shutdown() noexcept;
    // Sampling as the host sees it: a thread that runs and has not been told to stop.
    bool IsRunning() const { return m_pThread != nullptr && m_iRunFlag.load() != 0; }

private:
    void Run();
    void Sample();

    TCHiIobHardwareSetup* m_pSetup;
    std::unique_ptr<boost::thread> m_pThread;
    std::atomic<std::int32_t> m_iRunFlag{0};
};

#endif
