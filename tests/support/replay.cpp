#include "tests/support/replay.h"

#include <algorithm>
#include <bit>
#include <memory>

#include "instrument/event_replay.h"
#include "instrument/frame_mixer.h"

namespace consynth {

std::vector<uint32_t> replaySampleBits(const std::vector<Event>& events, uint64_t frames,
                                       uint64_t from) {
  auto mixer = std::make_unique<FrameMixer>();  // megabytes: off the stack
  std::vector<uint32_t> bits;
  bits.reserve(2 * (frames - std::min(frames, from)));
  uint64_t position = 0;
  renderEvents(*mixer, events, frames, [&](const float* samples, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i, ++position) {
      if (position < from) continue;
      bits.push_back(std::bit_cast<uint32_t>(samples[2 * i]));
      bits.push_back(std::bit_cast<uint32_t>(samples[2 * i + 1]));
    }
    return true;
  });
  return bits;
}

}  // namespace consynth
