// How the report transfers of one hardware setup's boxes wait for a controller that does not
// answer: set by the sampler as its threads start and stop, read by every box's access object.
#ifndef ZENTRIX_IOBOX_REPLYWAIT_H
#define ZENTRIX_IOBOX_REPLYWAIT_H

#include <cstdint>

namespace zentrix {

enum class ReplyWait : std::uint8_t {
    // Each attempt of the timeout ladder is one library call with the attempt's whole timeout:
    // the passes run on the host's thread, so no stop can come in the middle of one.
    Whole,
    // Sampling threads run: an attempt waits in slices of at most 250 ms, so that a stop is seen
    // soon; the attempts and their timeouts stay as they are.
    Sliced,
    // Sampling is being stopped: a wait that runs out without an answer gives the transfer up.
    Abandon,
};

}  // namespace zentrix

#endif
