#include "EventKinds.h"

namespace zentrix::cli {

std::string EventKindName(tagEZentrixEventKind kind) {
    switch (kind) {
        case eZentrixEvSamplingStarted:
            return "sampling_started";
        case eZentrixEvSamplingStopped:
            return "sampling_stopped";
        case eZentrixEvBoxState:
            return "box_state";
        case eZentrixEvBoxLost:
            return "box_lost";
        case eZentrixEvRise:
            return "rise";
        case eZentrixEvFall:
            return "fall";
        case eZentrixEvDataChange:
            return "data_change";
        case eZentrixEvCommand:
            return "command";
        case eZentrixEvPulseEnd:
            return "pulse_end";
        case eZentrixEvDropped:
            return "dropped";
    }
    return "unknown_" + std::to_string(static_cast<std::int32_t>(kind));
}

bool IsSessionKind(tagEZentrixEventKind kind) {
    return kind == eZentrixEvSamplingStarted || kind == eZentrixEvSamplingStopped;
}

}  // namespace zentrix::cli
