#include "model/Value.h"

#include <cstring>

namespace {

std::int64_t WrappingAdd(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

std::int64_t WrappingSubtract(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}

}  // namespace

void TCHiIobValue::Clear() {
    m_bValueBoolean = false;
    m_lValueLongLong = 0;
    m_dbValueDouble = 0.0;
}

void TCHiIobValue::ToHostValue(std::int32_t declaredValueType,
                               tagTECKavexIdtHiValue& record) const {
    tagTECKavexIdtHiValue filled;
    std::memset(&filled, 0, sizeof filled);
    if (declaredValueType == eKavexIdtHiVtDuration) {
        filled.m_eType = eKavexIdtHiVtDuration;
        filled.m_nMicroSeconds = m_lValueLongLong;
    } else {
        filled.m_eType = static_cast<tagEKavexIdtHiValueType>(m_eType);
        filled.m_bValueBoolean = m_bValueBoolean ? 1 : 0;
        filled.m_lValueLongLong = m_lValueLongLong;
        filled.m_dbValueDouble = m_dbValueDouble;
    }
    // Copied as bytes so that the padding the host sees is zero too.
    std::memcpy(&record, &filled, sizeof record);
}

bool operator==(const TCHiIobValue& left, const TCHiIobValue& right) {
    if (left.GetType() != right.GetType()) {
        return false;
    }
    switch (left.GetType()) {
        case eKavexIdtHiVtUndefined:
            return true;
        case eKavexIdtHiVtBool:
            return left.GetBoolean() == right.GetBoolean();
        case eKavexIdtHiVtLongLong:
            return left.GetLongLong() == right.GetLongLong();
        case eKavexIdtHiVtDouble:
            return left.GetDouble() == right.GetDouble();
        default:
            return false;
    }
}

TCHiIobValue operator+(const TCHiIobValue& left, const TCHiIobValue& right) {
    if (left.GetType() == right.GetType()) {
        if (left.GetType() == eKavexIdtHiVtLongLong) {
            return TCHiIobValue(WrappingAdd(left.GetLongLong(), right.GetLongLong()));
        }
        if (left.GetType() == eKavexIdtHiVtDouble) {
            return TCHiIobValue(left.GetDouble() + right.GetDouble());
        }
    }
    return left;
}

TCHiIobValue operator-(const TCHiIobValue& left, const TCHiIobValue& right) {
    if (left.GetType() == right.GetType()) {
        if (left.GetType() == eKavexIdtHiVtLongLong) {
            return TCHiIobValue(WrappingSubtract(left.GetLongLong(), right.GetLongLong()));
        }
        if (left.GetType() == eKavexIdtHiVtDouble) {
            return TCHiIobValue(left.GetDouble() - right.GetDouble());
        }
    }
    return left;
}
