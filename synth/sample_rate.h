#pragma once

#include <cstdint>

namespace consynth {

/// Frames a second. Every time in the instrument is counted in these samples: envelope
/// segments, phase increments, reverb delays. The device, the WAV files and the clock that
/// stands in for a missing device all run at this rate.
inline constexpr uint32_t kSampleRate = 44100;

}  // namespace consynth
