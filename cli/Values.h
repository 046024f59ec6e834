// How signal values read from the plug-in are shown: as text, as JSON and as CSV fields.
#ifndef ZENTRIX_CLI_VALUES_H
#define ZENTRIX_CLI_VALUES_H

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "ZentrixInterface.h"

namespace zentrix::cli {

std::string ValueTypeName(tagEKavexIdtHiValueType type);

// bool as true/false, integers and doubles as numbers, durations in seconds with six decimals
// ("1.230000 s"), undefined as "-".
std::string FormatValue(const tagTECKavexIdtHiValue& value);

std::string FormatDuration(std::int64_t microseconds);

// Like FormatValue but machine-readable: durations in whole microseconds, undefined empty.
std::string FormatValueField(const tagTECKavexIdtHiValue& value);

// Durations in whole microseconds, undefined as null.
nlohmann::ordered_json ValueToJson(const tagTECKavexIdtHiValue& value);

// Quoted as RFC 4180 asks when it holds a comma, a quote or a line break, else as it is.
std::string CsvField(const std::string& text);

// The interface does not say which signals are differential; counts and durations are the value
// types that accrue between reads, so the host treats those as increments.
bool IsAccumulating(tagEKavexIdtHiValueType type);

tagTECKavexIdtHiValue MakeIntegerValue(std::int64_t value);
tagTECKavexIdtHiValue MakeDurationValue(std::int64_t microseconds);

}  // namespace zentrix::cli

#endif
