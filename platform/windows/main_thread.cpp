#include "platform/main_thread.h"

#include <objbase.h>

namespace consynth::platform {

// The multimedia services expect COM on the thread that opens the device. The result is
// ignored: a thread that already has COM set up keeps it as it is.
void prepareMainThread() {
  CoInitialize(nullptr);
}

}  // namespace consynth::platform
