// Mutual exclusion for the data that the host's thread and the sampler thread share.
#ifndef ZENTRIX_PLATFORM_LOCK_H
#define ZENTRIX_PLATFORM_LOCK_H

#include <mutex>

namespace zentrix {

// Created with its owner and destroyed with it; not copyable.
class CriticalSection {
public:
    CriticalSection() = default;
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Lock() { m_mutex.lock(); }
    void Unlock() { m_mutex.unlock(); }

private:
    std::mutex m_mutex;
};

// Holds the section from construction to destruction, also while an exception passes.
class ScopedLock {
public:
    explicit ScopedLock(CriticalSection& section) : m_section(section) { m_section.Lock(); }
    ~ScopedLock() { m_section.Unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    CriticalSection& m_section;
};

}  // namespace zentrix

#endif
