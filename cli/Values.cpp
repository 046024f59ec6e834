#include "Values.h"

#include <charconv>
#include <cinttypes>
#include <cstdio>

namespace zentrix::cli {

namespace {

std::string FormatDouble(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

}  // namespace

std::string ValueTypeName(tagEKavexIdtHiValueType type) {
    switch (type) {
        case eKavexIdtHiVtBool:
            return "bool";
        case eKavexIdtHiVtLongLong:
            return "integer";
        case eKavexIdtHiVtDouble:
            return "double";
        case eKavexIdtHiVtDuration:
            return "duration";
        case eKavexIdtHiVtUndefined:
            return "undefined";
    }
    return "unknown(" + std::to_string(static_cast<std::int32_t>(type)) + ")";
}

std::string FormatDuration(std::int64_t microseconds) {
    const bool negative = microseconds < 0;
    const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(microseconds)
                                             : static_cast<std::uint64_t>(microseconds);
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%s%" PRIu64 ".%06" PRIu64 " s", negative ? "-" : "",
                  magnitude / 1000000, magnitude % 1000000);
    return buffer;
}

std::string FormatValue(const tagTECKavexIdtHiValue& value) {
    switch (value.m_eType) {
        case eKavexIdtHiVtBool:
            return value.m_bValueBoolean != 0 ? "true" : "false";
        case eKavexIdtHiVtLongLong:
            return std::to_string(value.m_lValueLongLong);
        case eKavexIdtHiVtDouble:
            return FormatDouble(value.m_dbValueDouble);
        case eKavexIdtHiVtDuration:
            return FormatDuration(value.m_nMicroSeconds);
        case eKavexIdtHiVtUndefined:
            break;
    }
    return "-";
}

std::string FormatValueField(const tagTECKavexIdtHiValue& value) {
    switch (value.m_eType) {
        case eKavexIdtHiVtDuration:
            return std::to_string(value.m_nMicroSeconds);
        case eKavexIdtHiVtBool:
        case eKavexIdtHiVtLongLong:
        case eKavexIdtHiVtDouble:
            return FormatValue(value);
        case eKavexIdtHiVtUndefined:
            break;
    }
    return "";
}

nlohmann::ordered_json ValueToJson(const tagTECKavexIdtHiValue& value) {
    switch (value.m_eType) {
        case eKavexIdtHiVtBool:
            return value.m_bValueBoolean != 0;
        case eKavexIdtHiVtLongLong:
            return value.m_lValueLongLong;
        case eKavexIdtHiVtDouble:
            return value.m_dbValueDouble;
        case eKavexIdtHiVtDuration:
            return value.m_nMicroSeconds;
        case eKavexIdtHiVtUndefined:
            break;
    }
    return nullptr;
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"') {
            quoted += '"';
        }
        quoted += c;
    }
    return quoted + '"';
}

bool IsAccumulating(tagEKavexIdtHiValueType type) {
    return type == eKavexIdtHiVtLongLong || type == eKavexIdtHiVtDuration;
}

tagTECKavexIdtHiValue MakeIntegerValue(std::int64_t value) {
    tagTECKavexIdtHiValue result{};
    result.m_eType = eKavexIdtHiVtLongLong;
    result.m_lValueLongLong = value;
    return result;
}

tagTECKavexIdtHiValue MakeDurationValue(std::int64_t microseconds) {
    tagTECKavexIdtHiValue result{};
    result.m_eType = eKavexIdtHiVtDuration;
    result.m_nMicroSeconds = microseconds;
    return result;
}

}  // namespace zentrix::cli
