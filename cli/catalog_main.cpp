// Prints the device-type catalog that the plug-in offers to its host: every device type with its
// commands and signals, as the host's describe calls report them.
#include <cstdio>
#include <string>
#include <vector>

#include "model/DeviceType.h"
#include "setup/HardwareSetup.h"

namespace {

const char* ValueTypeName(std::int32_t type) {
    switch (type) {
        case eKavexIdtHiVtBool:
            return "bool";
        case eKavexIdtHiVtLongLong:
            return "integer";
        case eKavexIdtHiVtDouble:
            return "double";
        case eKavexIdtHiVtDuration:
            return "duration";
        default:
            return "undefined";
    }
}

std::string DefaultText(const tagTECKavexIdtHiValue& value) {
    switch (value.m_eType) {
        case eKavexIdtHiVtBool:
            return value.m_bValueBoolean != 0 ? "true" : "false";
        case eKavexIdtHiVtLongLong:
            return std::to_string(value.m_lValueLongLong);
        case eKavexIdtHiVtDouble:
            return std::to_string(value.m_dbValueDouble);
        case eKavexIdtHiVtDuration:
            return std::to_string(value.m_nMicroSeconds) + " us";
        default:
            return "undefined";
    }
}

}  // namespace

int main() {
    const TCHiIobHardwareSetup setup;
    std::vector<const TCHiIobDeviceType*> types;
    setup.GetDeviceTypes(types);
    for (const TCHiIobDeviceType* type : types) {
        std::printf("Device type %d \"%s\" (max frequency %g)\n", type->GetId(),
                    type->GetName().c_str(), type->GetMaxFrequency());
        std::vector<const TCHiIobCommand*> commands;
        type->GetCommands(commands);
        for (const TCHiIobCommand* command : commands) {
            std::printf("  command %2d  %-22s%s\n", command->GetId(), command->GetName().c_str(),
                        command->IsDefault() ? "  (default)" : "");
        }
        std::vector<const TCHiIobSignal*> signals;
        type->GetSignals(signals);
        for (const TCHiIobSignal* signal : signals) {
            std::printf("  signal  %2d  %-22s %-9s default %s%s\n", signal->GetId(),
                        signal->GetName().c_str(), ValueTypeName(signal->GetValueType()),
                        DefaultText(signal->GetDefault()).c_str(),
                        signal->IsDifferential() ? "  (differential)" : "");
        }
    }
    return 0;
}
