#include "CliError.h"

#include <cstdio>

namespace zentrix::cli {

namespace {

const char* HresultName(HRESULT result) {
    switch (result) {
        case S_OK:
            return "S_OK";
        case S_FALSE:
            return "S_FALSE";
        case E_FAIL:
            return "E_FAIL";
        case E_NOINTERFACE:
            return "E_NOINTERFACE";
        case E_POINTER:
            return "E_POINTER";
        case E_OUTOFMEMORY:
            return "E_OUTOFMEMORY";
        case E_INVALIDARG:
            return "E_INVALIDARG";
        case CLASS_E_CLASSNOTAVAILABLE:
            return "CLASS_E_CLASSNOTAVAILABLE";
        case CLASS_E_NOAGGREGATION:
            return "CLASS_E_NOAGGREGATION";
        default:
            return nullptr;
    }
}

}  // namespace

std::string HresultText(HRESULT result) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned int>(result));
    const char* name = HresultName(result);
    return name == nullptr ? std::string(hex) : std::string(hex) + " (" + name + ")";
}

void ThrowIfFailed(HRESULT result, const std::string& what) {
    if (Failed(result)) {
        throw CliError(what + " failed with " + HresultText(result));
    }
}

}  // namespace zentrix::cli
