#include "sampling/EventBuffer.h"

#include <utility>

namespace {

tagTECKavexIdtHiValue UndefinedHostValue() {
    tagTECKavexIdtHiValue value{};
    value.m_eType = eKavexIdtHiVtUndefined;
    return value;
}

}  // namespace

tagZentrixEvent MakeZentrixEvent(tagEZentrixEventKind kind, std::int32_t ioBoxId,
                                 std::int64_t timeUs) {
    tagZentrixEvent event{};
    event.m_eKind = kind;
    event.m_iIODeviceId = ioBoxId;
    event.m_iDeviceId = -1;
    event.m_iSignalId = -1;
    event.m_iCommandId = -1;
    event.m_iLevel = -1;
    event.m_nTimeUs = timeUs;
    event.m_nEarliestUs = timeUs;
    event.m_value = UndefinedHostValue();
    event.m_change = UndefinedHostValue();
    return event;
}

void TCHiIobEventBuffer::Append(std::vector<tagZentrixEvent>& events) noexcept {
    if (events.empty()) {
        return;
    }
    {
        const std::lock_guard lock(m_mutex);
        for (const tagZentrixEvent& event : events) {
            bool kept = false;
            if (m_events.size() < m_nCapacity && m_nDropped == 0) {
                try {
                    m_events.push_back(event);
                    kept = true;
                } catch (...) {
                }
            }
            if (!kept) {
                // Once one is lost, later ones are too until the host takes the buffer, so that
                // the lost stretch is one gap with one count.
                if (m_nDropped++ == 0) {
                    m_firstDropped = event;
                }
            }
        }
    }
    events.clear();
}

void TCHiIobEventBuffer::CountLost(const tagZentrixEvent& event) noexcept {
    const std::lock_guard lock(m_mutex);
    if (m_nDropped++ == 0) {
        m_firstDropped = event;
    }
}

void TCHiIobEventBuffer::TakeAll(std::vector<tagZentrixEvent>& events) {
    std::uint64_t dropped = 0;
    tagZentrixEvent first{};
    {
        // The pass thread goes on with the emptied vector of the last take, whose capacity it
        // reuses, so that neither side allocates once the sizes have settled.
        const std::lock_guard lock(m_mutex);
        m_taken.swap(m_events);
        dropped = std::exchange(m_nDropped, 0);
        first = m_firstDropped;
    }
    try {
        events.reserve(events.size() + m_taken.size() + 1);
    } catch (...) {
        // Without room to hand them over they stay for the next take, in front of newer ones;
        // when even that fails, the newer ones count as lost.
        const std::lock_guard lock(m_mutex);
        try {
            m_taken.insert(m_taken.end(), m_events.begin(), m_events.end());
        } catch (...) {
            if (!m_events.empty() && m_nDropped == 0) {
                m_firstDropped = m_events.front();
            }
            m_nDropped += m_events.size();
        }
        m_events.swap(m_taken);
        m_taken.clear();
        if (dropped != 0) {
            m_firstDropped = first;
            m_nDropped += dropped;
        }
        throw;
    }
    events.insert(events.end(), m_taken.begin(), m_taken.end());
    m_taken.clear();
    if (dropped != 0) {
        tagZentrixEvent lost =
            MakeZentrixEvent(eZentrixEvDropped, first.m_iIODeviceId, first.m_nTimeUs);
        lost.m_nCount = static_cast<std::int64_t>(dropped);
        events.push_back(lost);
    }
}
