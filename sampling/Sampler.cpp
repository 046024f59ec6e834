#include "sampling/Sampler.h"

#include <boost/thread/thread.hpp>

#include "platform/IoWarriorBackend.h"
#include "setup/HardwareSetup.h"

namespace {

constexpr std::uint32_t kPeriodSleepMs = 2;

}  // namespace

TCHiIobSampler::TCHiIobSampler(TCHiIobHardwareSetup* setup) : m_pSetup(setup) {}

TCHiIobSampler::~TCHiIobSampler() {
    if (m_pThread) {
        Stop();
    }
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

void TCHiIobSampler::Stop() {
    if (!m_pThread) {
        return;
    }
    m_iRunFlag.exchange(0);
    try {
        m_pThread->join();
    } catch (...) {
        m_pThread->detach();
    }
    m_pThread.reset();
    m_pSetup->EndSampling();
}

void TCHiIobSampler::Run() {
    zentrix::Clock& clock = m_pSetup->GetClock();
    while (m_iRunFlag.load() != 0) {
        // A pass that fails (out of memory, say) must not end sampling while the host expects it
        // to go on; the next period tries again.
        try {
            Sample();
        } catch (...) {
        }
        clock.SleepMs(kPeriodSleepMs);
    }
}

void TCHiIobSampler::Sample() {
    m_pSetup->SampleInputs(true);
    m_pSetup->SampleOutputs(true);
}
