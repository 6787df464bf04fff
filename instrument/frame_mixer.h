#pragma once

#include "reverb/reverb.h"
#include "reverb/reverb_block_paths.h"
#include "synth/noise_generator.h"
#include "synth/oscillator_paths.h"
#include "synth/voice.h"

namespace consynth {

/// Each voice enters the dry mix at half its level.
inline constexpr float kVoiceGain = 0.5f;

/// What the render thread sees of the reverb keys at one frame.
struct FrameKeys {
  bool upPressed = false;    ///< Up went down since the previous look: step the damping
  bool downPressed = false;  ///< Down went down since the previous look: step the delay set
  bool bypass = false;       ///< F5 is held: the dry mix passes, the reverbs rest
};

/// Everything one output frame is made from: the ten voices with their shared noise
/// stream, the two live reverb controls and the left and right reverbs.
struct FrameMixer {
  Voice voices[kVoiceCount];
  NoiseGenerator noise;
  int lpfnum = 4;     ///< reverb damping, 0..31: the combs average lpfnum + 1 taps
  int type = 0;       ///< reverb delay set, 0..3
  Reverb reverbs[2];  ///< left (channel 0) and right (channel 1)

  /// The variants renderFrames runs; null picks the best this processor supports. All give
  /// the same bits; a benchmark may pin a narrower one.
  const OscillatorPath* oscillatorPath = nullptr;
  const ReverbBlockPath* reverbPath = nullptr;
  /// How often renderFrames' oscillator fell back to the library's sine.
  OscillatorCounts oscillatorCounts;

  /// Renders and mixes one stereo frame into out[0] (left) and out[1] (right).
  /// The reference path: the plain algorithm, frame by frame. The program renders with
  /// renderFrames; the block-path test holds the two equal, bit for bit.
  void renderFrame(const FrameKeys& keys, float out[2]);

  /// Renders `frames` frames, interleaved left then right: the same bits as calling
  /// renderFrame once with `keys` and then with no key pressed (bypass still as in `keys`)
  /// for the other frames, but much faster. Call noteOn only between calls.
  void renderFrames(const FrameKeys& keys, float* interleaved, unsigned frames);

 private:
  static constexpr unsigned kBlockFrames = Reverb::kMaxBlockFrames;

  /// Up steps the damping, Down the delay set, each wrapping; bypassed or not.
  void stepControls(const FrameKeys& keys);

  /// The dry mix of the ten voices (each voice times kVoiceGain, summed in voice order) for
  /// up to kBlockFrames frames. Left and right are equal before the reverbs: every voice
  /// writes the same value to both of its outputs.
  void mixVoices(float* dry, unsigned frames);

  /// The outputs of the `count` voices listed in `sounding` (in voice order, each sounding
  /// at the block's start) for `frames` frames, into out[v].
  void renderSounding(const int* sounding, int count, unsigned frames, float (*out)[kBlockFrames]);
};

}  // namespace consynth
