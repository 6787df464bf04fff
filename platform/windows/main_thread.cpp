#include "platform/main_thread.h"

#include <objbase.h>
// timeBeginPeriod needs the base types of <windows.h> first.
#include <mmsystem.h>

namespace consynth::platform {

// The multimedia services expect COM on the thread that opens the device. The result is
// ignored: a thread that already has COM set up keeps it as it is.
//
// The system's timers tick every 15.6 ms unless asked otherwise; the clock that stands in
// for a missing device, the keys' waits and the device's grace periods want milliseconds.
// The system ends the request with the process.
void prepareMainThread() {
  CoInitialize(nullptr);
  timeBeginPeriod(1);
}

}  // namespace consynth::platform
