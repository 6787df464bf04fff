#include "platform/main_thread.h"

namespace consynth::platform {

// ALSA and the terminal need no per-thread setup.
void prepareMainThread() {}

}  // namespace consynth::platform
