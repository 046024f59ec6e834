// The events of one IO box (or of the sampling session itself) on their way to the host: the pass
// thread appends each pass's events, the host's thread takes them all. Bounded, so that a host
// that stops asking cannot make it grow without end; what does not fit is counted and handed to
// the host as one event that says how many were lost, never as a silent gap.
#ifndef ZENTRIX_SAMPLING_EVENTBUFFER_H
#define ZENTRIX_SAMPLING_EVENTBUFFER_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "host/ZentrixInterface.h"

class TCHiIobEventBuffer {
public:
    // About four minutes of a busy, fully mapped box (some thousand events a second) that the
    // host does not read.
    static constexpr std::size_t kCapacity = 262144;

    explicit TCHiIobEventBuffer(std::size_t capacity = kCapacity) : m_nCapacity(capacity) {}
    virtual ~TCHiIobEventBuffer() = default;
    TCHiIobEventBuffer(const TCHiIobEventBuffer&) = delete;
    TCHiIobEventBuffer& operator=(const TCHiIobEventBuffer&) = delete;

    // Pass thread: keeps the events (in time order, after those appended before) while there is
    // room and counts the rest as lost; empties the list. Throws nothing: an event that cannot
    // be stored counts as lost too.
    void Append(std::vector<tagZentrixEvent>& events) noexcept;
    // Pass thread: an event that could not even be listed for Append.
    void CountLost(const tagZentrixEvent& event) noexcept;
    // Host thread: appends every kept event to `events`, followed by one eZentrixEvDropped event
    // when some were lost since the last take, and starts afresh. Holds the lock only to swap.
    void TakeAll(std::vector<tagZentrixEvent>& events);

    std::size_t GetCapacity() const { return m_nCapacity; }

private:
    const std::size_t m_nCapacity;
    std::mutex m_mutex;
    std::vector<tagZentrixEvent> m_events;
    // The host thread's side of the swap in TakeAll; empty between takes.
    std::vector<tagZentrixEvent> m_taken;
    std::uint64_t m_nDropped = 0;
    tagZentrixEvent m_firstDropped{};
};

// An event of the given kind with nothing else said: no device, signal, command or level, and
// undefined values.
tagZentrixEvent MakeZentrixEvent(tagEZentrixEventKind kind, std::int32_t ioBoxId,
                                 std::int64_t timeUs);

#endif
