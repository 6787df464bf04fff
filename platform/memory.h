#pragma once

#include <cstddef>

namespace consynth::platform {

/// Keeps the pages of [start, start + bytes) in memory, where the system allows it (a
/// limit on locked memory may not), so the real-time threads never wait for them. Says
/// nothing either way.
void keepInMemory(const void* start, size_t bytes);

}  // namespace consynth::platform
