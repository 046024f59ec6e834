// The typed value that signal values and signal defaults travel in inside the plug-in.
#ifndef ZENTRIX_MODEL_VALUE_H
#define ZENTRIX_MODEL_VALUE_H

#include <cstdint>

#include "host/ZentrixInterface.h"

// A boolean, 64-bit integer or double, or undefined. A duration is a 64-bit count of microseconds
// that only a signal's declared value type turns into a duration on the way to the host. The
// payload fields that do not belong to the type stay as they are and are copied with the value.
class TCHiIobValue {
public:
    TCHiIobValue() = default;
    explicit TCHiIobValue(bool value) : m_eType(eKavexIdtHiVtBool), m_bValueBoolean(value) {}
    explicit TCHiIobValue(std::int64_t value)
        : m_eType(eKavexIdtHiVtLongLong), m_lValueLongLong(value) {}
    explicit TCHiIobValue(double value) : m_eType(eKavexIdtHiVtDouble), m_dbValueDouble(value) {}
    TCHiIobValue(const TCHiIobValue&) = default;
    TCHiIobValue& operator=(const TCHiIobValue&) = default;
    virtual ~TCHiIobValue() = default;

    // Zeroes the payload and keeps the type.
    void Clear();

    std::int32_t GetType() const { return m_eType; }
    bool GetBoolean() const { return m_bValueBoolean; }
    std::int64_t GetLongLong() const { return m_lValueLongLong; }
    double GetDouble() const { return m_dbValueDouble; }

    // Fills the whole host record by the value type that a signal declares: a declared duration
    // carries the 64-bit payload as microseconds; any other declared type keeps this value's own
    // type and payload.
    void ToHostValue(std::int32_t declaredValueType, tagTECKavexIdtHiValue& record) const;

private:
    std::int32_t m_eType = eKavexIdtHiVtUndefined;
    bool m_bValueBoolean = false;
    std::int64_t m_lValueLongLong = 0;
    double m_dbValueDouble = 0.0;
};

bool operator==(const TCHiIobValue& left, const TCHiIobValue& right);

// Same-typed 64-bit integers (wrapping) and doubles combine; any other pair yields the left
// operand unchanged.
TCHiIobValue operator+(const TCHiIobValue& left, const TCHiIobValue& right);
TCHiIobValue operator-(const TCHiIobValue& left, const TCHiIobValue& right);

#endif
