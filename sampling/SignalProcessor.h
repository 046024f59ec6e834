// Turns the latest sampled value of a signal into the record ReceiveSignal hands to the host; for
// differential signals, into what accrued since the host's previous read. One per IO box, used
// only inside host calls on the host's thread, so it takes no lock.
#ifndef ZENTRIX_SAMPLING_SIGNALPROCESSOR_H
#define ZENTRIX_SAMPLING_SIGNALPROCESSOR_H

#include <cstdint>
#include <map>

#include "host/ZentrixInterface.h"
#include "model/Value.h"

class TCHiIobHardwareSetup;
class TCHiIobIOBox;

class TCHiIobSignalProcessor {
public:
    explicit TCHiIobSignalProcessor(const TCHiIobHardwareSetup* setup);
    virtual ~TCHiIobSignalProcessor() = default;

    // Leaves the record untouched for a device the box lacks, a signal its type lacks, and a
    // differential read whose value is undefined or boolean after an earlier read.
    void Process(const TCHiIobIOBox& box, std::int32_t deviceId, std::int32_t signalId,
                 const TCHiIobValue& current, tagTECKavexIdtHiValue& record);
    // Forgets every reported value, so the next read of each differential signal reports its
    // whole total.
    void Clear() { m_mapLastReported.clear(); }

private:
    const TCHiIobHardwareSetup* m_pSetup;
    std::map<std::int32_t, std::map<std::int32_t, TCHiIobValue>> m_mapLastReported;
};

#endif
