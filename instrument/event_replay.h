#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "formats/events_file.h"
#include "instrument/frame_mixer.h"

namespace consynth {

/// Receives rendered audio: `frames` interleaved stereo frames. Returns false to stop the
/// render there (the output cannot take more).
using FrameSink = std::function<bool(const float* interleaved, uint32_t frames)>;

/// Renders `frames` frames from `mixer`'s current state, single-threaded, applying the
/// events at their frames: note-ons before the voices render, then an up, then a down;
/// the bypass holds from an `f5 on` until the next `f5 off`. Events at or past `frames`
/// are ignored. Output reaches `sink` in blocks of at most 4096 frames.
void renderEvents(FrameMixer& mixer, const std::vector<Event>& events, uint64_t frames,
                  const FrameSink& sink);

}  // namespace consynth
