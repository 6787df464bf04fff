#include "platform/memory.h"

#include <windows.h>

namespace consynth::platform {

void keepInMemory(const void* start, size_t bytes) {
  // Beyond the working set's minimum the system refuses; the pages then stay as touched.
  VirtualLock(const_cast<void*>(start), bytes);
}

}  // namespace consynth::platform
