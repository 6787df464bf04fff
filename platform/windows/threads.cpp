#include "platform/threads.h"

#include <windows.h>
// The multimedia class scheduler's declarations need the base types of <windows.h> first.
#include <avrt.h>

namespace consynth::platform {

// Thread names came with Windows 10 (SetThreadDescription); no tool of ours reads them here.
void nameThisThread(const char*) {}

void prepareAudioThread(const char*) {
  // The multimedia class scheduler raises "Pro Audio" threads as far as audio needs and
  // keeps the system responsive; where it is off, the highest priority of the normal class.
  DWORD taskIndex = 0;
  if (AvSetMmThreadCharacteristicsW(L"Pro Audio", &taskIndex) != nullptr) return;
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
}

}  // namespace consynth::platform
