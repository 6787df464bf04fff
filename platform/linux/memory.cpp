#include "platform/memory.h"

#include <sys/mman.h>

namespace consynth::platform {

void keepInMemory(const void* start, size_t bytes) {
  mlock(start, bytes);  // beyond RLIMIT_MEMLOCK it fails, and the pages stay as touched
}

}  // namespace consynth::platform
