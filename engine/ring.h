#pragma once

#include "platform/audio_output.h"

namespace consynth {

// The ring of device buffers the render thread fills in turn. By default six buffers of
// 512 frames, five of them queued ahead of the one being rendered (58 ms); a player who
// wants the sound sooner asks for shorter buffers (periods) and fewer of them.

inline constexpr unsigned kBufferCount = 6;  ///< the most buffers in the ring, and the default
inline constexpr unsigned kFramesPerBuffer = 512;  ///< the most frames a buffer, and the default
inline constexpr unsigned kMinBufferCount = 2;
inline constexpr unsigned kMinFramesPerBuffer = 64;
/// Note-ons and the reverb keys are taken every 64 frames, so that the instrument can
/// render each run as one block. Each press of Up or Down still steps its control once, and
/// F5 bypasses for as long as it is held, to within a run.
inline constexpr unsigned kControlFrames = 64;

static_assert(kBufferCount <= platform::kMaxQueuedBuffers, "the device queues the whole ring");
static_assert(kMinFramesPerBuffer % kControlFrames == 0, "a buffer is whole runs of frames");

/// The shape of the ring: its buffers' length (the period) and their number.
struct RingShape {
  unsigned periodFrames = kFramesPerBuffer;
  unsigned periods = kBufferCount;

  /// A period of 64, 128, 256 or 512 frames and 2 to 6 of them.
  bool valid() const {
    const bool powerOfTwo = (periodFrames & (periodFrames - 1)) == 0;
    return powerOfTwo && periodFrames >= kMinFramesPerBuffer && periodFrames <= kFramesPerBuffer &&
           periods >= kMinBufferCount && periods <= kBufferCount;
  }

  /// The sound queued ahead of the buffer being rendered: all the other buffers.
  unsigned queuedFrames() const { return (periods - 1) * periodFrames; }

  /// The console shows the lines of one buffer in this many, the one that starts each 512
  /// frames of sound, so that a short period prints no more lines than the default does.
  unsigned buffersPerLine() const { return kFramesPerBuffer / periodFrames; }
};

}  // namespace consynth
