#pragma once

#include <span>

#include "reverb/reverb.h"

namespace consynth {

/// One compiled variant of the reverb's block path: `frames` (at most
/// Reverb::kMaxBlockFrames) samples from x into y, with the same result, bit for bit, as
/// Reverb::process on each in turn; faster, because every frame of a block can read its taps
/// before any frame writes. The variants differ only in how many frames share an
/// instruction.
struct ReverbBlockPath {
  const char* name;
  bool (*supported)();  ///< whether this processor can run it
  void (*run)(Reverb& reverb, const float* x, float* y, unsigned frames, int type, int channel,
              int lpfnum);
};

/// Every variant built into this program: the portable one first, the widest last.
std::span<const ReverbBlockPath> reverbBlockPaths();

}  // namespace consynth
