#include "platform/main_thread.h"

#include "platform/linux/realtime_kit.h"

namespace consynth::platform {

// ALSA and the terminal need no per-thread setup; the audio threads may need RTKit's help
// to run in real time, and asking it waits for replies, so its helper starts here.
void prepareMainThread() {
  startRealtimeKitRequests();
}

}  // namespace consynth::platform
