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
    // Stops a running sampler, finishing sampling included.
    virtual ~TCHiIobSampler();
    TCHiIobSampler(const TCHiIobSampler&) = delete;
    TCHiIobSampler& operator=(const TCHiIobSampler&) = delete;

    // Begins sampling on the caller's thread, then starts the thread; nothing when running.
    void Start();
    // Ends and joins the thread, then finishes sampling on the caller's thread; nothing when
    // stopped.
    void Stop();
    bool IsRunning() const { return m_pThread != nullptr; }

private:
    void Run();
    void Sample();

    TCHiIobHardwareSetup* m_pSetup;
    std::unique_ptr<boost::thread> m_pThread;
    std::atomic<std::int32_t> m_iRunFlag{0};
};

#endif
