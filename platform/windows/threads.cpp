#include "platform/threads.h"

#include <windows.h>
// The multimedia class scheduler's declarations need the base types of <windows.h> first.
#include <avrt.h>

namespace consynth::platform {

// Thread names came with Windows 10 (SetThreadDescription); no tool of ours reads them here.
void nameThisThread(const char*) {}

namespace {
thread_local HANDLE scheduledTask = nullptr;  ///< the thread's "Pro Audio" registration
}  // namespace

void prepareAudioThread(const char*) {
  // The multimedia class scheduler raises "Pro Audio" threads as far as audio needs and
  // keeps the system responsive; where it is off, the highest priority of the normal class.
  DWORD taskIndex = 0;
  scheduledTask = AvSetMmThreadCharacteristicsW(L"Pro Audio", &taskIndex);
  if (scheduledTask == nullptr)
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
}

void finishAudioThread() {
  if (scheduledTask != nullptr) AvRevertMmThreadCharacteristics(scheduledTask);
  scheduledTask = nullptr;
}

}  // namespace consynth::platform
