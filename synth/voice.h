#pragma once

#include <cstdint>

#include "synth/noise_generator.h"

namespace consynth {

/// The patch word the keyboard sends with every note: attack 0, decay 2, sustain 0,
/// release 4, oscillator on.
inline constexpr uint32_t kKeyPatch = 0x020400FF;

/// Notes above this play at its pitch. It keeps the phase, the oscillator arguments and
/// the filter finite for every 32-bit note number, and bounds the work of a note-on.
inline constexpr int kMaxNote = 1000;

/// One tone generator: a four-segment envelope, four detuned waveshaped sine partials with
/// a little phase jitter, and a low-pass output filter whose strength follows the envelope.
struct Voice {
  double phase;               ///< oscillator phase in cycles; never wrapped
  double increment;           ///< phase advance per sample; the voice sounds while > 0
  int32_t counter;            ///< samples rendered since the last note-on
  double level;               ///< envelope level
  int32_t segmentLengths[4];  ///< attack, decay, sustain, release, in samples
  double segmentRates[4];     ///< level change per sample in each segment
  double filterMemory;        ///< last output of the output filter
  uint32_t patch;             ///< the word given to the last note-on

  /// Restarts the envelope at the pitch of `note` with the segment lengths of `patch`.
  /// Phase and filter memory carry over, so a re-triggered voice does not click.
  void noteOn(int note, uint32_t patch);

  /// Computes the next sample into out[0] and out[1]; call once per frame, sounding or not.
  void render(float out[2], NoiseGenerator& noise);

  /// True when the voice is silent and its tail has settled: every later render, until
  /// the next note-on, returns restingOutput() and changes nothing.
  bool resting() const;
  float restingOutput() const { return static_cast<float>(filterMemory); }

  /// True once the envelope has ended (or never started): only the filter tail remains.
  bool silent() const { return !(increment > 0.0); }

 private:
  /// The output filter: takes the oscillator sample x, returns and remembers the output.
  float filter(float x);
};

}  // namespace consynth
