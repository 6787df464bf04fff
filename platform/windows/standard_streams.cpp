#include "platform/standard_streams.h"

namespace consynth::platform {

// The C runtime gives every process its three streams, which simply discard what is
// written where there is no console, and keys come from the system, not from standard input.
void openStandardStreams() {}

}  // namespace consynth::platform
