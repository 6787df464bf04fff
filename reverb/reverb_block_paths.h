#pragma once

#include <span>

#include "reverb/reverb.h"

namespace consynth {

/// One compiled variant of Reverb::processBlock, built for a set of vector instructions.
/// All variants compute the same bits; they differ only in how many frames share an
/// instruction.
struct ReverbBlockPath {
  const char* name;
  bool (*supported)();  ///< whether this processor can run it
  void (*run)(Reverb& reverb, const float* x, float* y, unsigned frames, int type, int channel,
              int lpfnum);
};

/// Every variant built into this program: the portable one first, the widest last.
std::span<const ReverbBlockPath> reverbBlockPaths();

/// The widest variant this processor supports; Reverb::processBlock runs it.
const ReverbBlockPath& bestReverbBlockPath();

}  // namespace consynth
