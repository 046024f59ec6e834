// The names under which hosts write and show the kinds of IZentrixEvents events.
#ifndef ZENTRIX_CLI_EVENTKINDS_H
#define ZENTRIX_CLI_EVENTKINDS_H

#include <array>
#include <string>

#include "ZentrixInterface.h"

namespace zentrix::cli {

inline constexpr std::array kEventKinds = {
    eZentrixEvSamplingStarted,
    eZentrixEvSamplingStopped,
    eZentrixEvBoxState,
    eZentrixEvBoxLost,
    eZentrixEvRise,
    eZentrixEvFall,
    eZentrixEvDataChange,
    eZentrixEvCommand,
    eZentrixEvPulseEnd,
    eZentrixEvDropped,
};

// "sampling_started", "rise", ...; a kind this host does not know is "unknown_N".
std::string EventKindName(tagEZentrixEventKind kind);

// The kinds that belong to the session rather than to one IO box.
bool IsSessionKind(tagEZentrixEventKind kind);

}  // namespace zentrix::cli

#endif
