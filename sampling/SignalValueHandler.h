// Running total of one data signal of one device (the lickometer's lick count and lick time).
// Used only by the thread that runs the sampling passes, so it takes no lock.
#ifndef ZENTRIX_SAMPLING_SIGNALVALUEHANDLER_H
#define ZENTRIX_SAMPLING_SIGNALVALUEHANDLER_H

#include <cstdint>
#include <vector>

#include "model/Value.h"

class TCHiIobDevice;
class TCHiIobSignal;

class TCHiIobSignalValueHandler {
public:
    TCHiIobSignalValueHandler(const TCHiIobDevice* device, const TCHiIobSignal* signal);
    virtual ~TCHiIobSignalValueHandler() = default;

    // Adds one report of the device to the total and returns the total. The bytes are radix-255
    // digits, least significant first.
    TCHiIobValue Process(const std::vector<std::uint8_t>& bytes);
    // Zeroes the total and keeps its type, so the next report adds to zero.
    void Clear();
    const TCHiIobValue& GetTotal() const { return m_valTotal; }

private:
    const TCHiIobDevice* m_pDevice;
    const TCHiIobSignal* m_pSignal;
    TCHiIobValue m_valTotal;
};

#endif
