#pragma once

#include "reverb/delay_line.h"

namespace consynth {

/// One channel's reverb: four damped feedback comb lines in parallel, two averaging
/// diffusers in series, and a tenth of the dry signal mixed back in.
struct Reverb {
  static constexpr int kCombCount = 4;
  static constexpr int kLineCount = 6;  ///< four comb lines, then two diffuser stages
  static constexpr int kTypeCount = 4;
  static constexpr int kLpfCount = 32;

  /// Most frames a block variant (reverb_block_paths.h) takes at once. Within a block no frame
  /// reads a sample that an earlier frame of the block wrote: the shortest diffuser (127 samples, 4
  /// taps) only reads a sample again 124 frames after writing it, the combs much later.
  static constexpr unsigned kMaxBlockFrames = 64;

  DelayLine lines[kLineCount];

  /// Processes one sample. `type` 0..3 picks the delay set, `channel` 0 or 1 its left or
  /// right variant, and the comb feedback is averaged over `lpfnum` + 1 of the oldest taps.
  /// The reference path: the plain algorithm, sample by sample. The program runs a block
  /// variant (reverb_block_paths.h), which comes here only for the frame after a switch to
  /// a shorter delay set; the block-path test holds the two equal, bit for bit.
  float process(float x, int type, int channel, int lpfnum);
};

/// Comb delay lengths in samples, by row (type + 4 * channel) and line. All are prime and
/// the two channels differ by a few samples, which is all that makes the output stereo.
inline constexpr uint32_t kCombLengths[8][Reverb::kCombCount] = {
    {2063, 1847, 1523, 1277}, {3089, 2927, 2801, 2111},  // left, types 0 and 1
    {5479, 5077, 4987, 4057}, {9929, 7411, 4951, 1063},  // left, types 2 and 3
    {2053, 1867, 1531, 1259}, {3109, 2939, 2803, 2113},  // right, types 0 and 1
    {5477, 5059, 4993, 4051}, {9949, 7393, 4957, 1097},  // right, types 2 and 3
};

/// Comb feedback gains; negative, just under 0.75, slightly shorter decay per line.
inline constexpr float kCombGains[Reverb::kCombCount] = {-0.7733f, -0.7623f, -0.7513f, -0.7403f};

/// Diffuser lengths in samples (prime), the same for every set and channel.
inline constexpr uint32_t kDiffuserLengths[2] = {353, 127};

/// Weight of a diffuser's delayed taps; its output times -kDiffuserGain feeds the next stage.
inline constexpr float kDiffuserGain = 0.7f;
/// A diffuser stage averages four sums: its input plus each of the four oldest taps.
inline constexpr float kDiffuserMean = 0.25f;
/// Share of the dry input in the output, applied in double precision: 0.1 as a double, not
/// as a float; the renders depend on it.
inline constexpr double kDryGain = 0.1;
/// Gain of the reverb's output, wet and dry together.
inline constexpr float kReverbOutputGain = 0.5f;

}  // namespace consynth
