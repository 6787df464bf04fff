#pragma once

namespace consynth::platform {

/// Prepares the main thread, and the process, for the system's audio services, once, before
/// anything else.
void prepareMainThread();

}  // namespace consynth::platform
