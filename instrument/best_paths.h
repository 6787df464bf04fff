#pragma once

#include "reverb/reverb_block_paths.h"
#include "synth/oscillator_paths.h"

namespace consynth {

// The instrument's kernels come in variants, one per set of vector instructions, that all
// give the same bits. The widest each processor (and C library) supports is chosen once,
// here, before main, so the render thread never waits on an initialisation guard.

/// The widest oscillator variant this processor and C library support.
const OscillatorPath& bestOscillatorPath();

/// The widest reverb block variant this processor supports.
const ReverbBlockPath& bestReverbBlockPath();

}  // namespace consynth
