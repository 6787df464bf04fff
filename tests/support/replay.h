#pragma once

#include <cstdint>
#include <vector>

#include "formats/events_file.h"

namespace consynth {

/// The samples, as raw bit patterns, that the instrument renders from its start-up state
/// for `frames` frames of `events`, from frame `from` on: what a reference render or a take
/// must hold.
std::vector<uint32_t> replaySampleBits(const std::vector<Event>& events, uint64_t frames,
                                       uint64_t from = 0);

}  // namespace consynth
