#pragma once

#include <alsa/asoundlib.h>

#include "platform/sample_format.h"

namespace consynth::platform {

/// Sets in `hw` the first of kSampleFormats that `pcm` takes (float alone with `floatOnly`)
/// and says which in `chosen`. False, `hw` unchanged, when it takes none of them.
bool setSampleFormat(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw, bool floatOnly, SampleFormat& chosen);

}  // namespace consynth::platform
