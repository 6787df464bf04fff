#pragma once

#include <cstdint>

#include "synth/noise_generator.h"

namespace consynth {

/// Voices in the instrument: the keys play 0 to 3, MIDI 4 to 9.
inline constexpr int kVoiceCount = 10;

/// The patch word the keyboard sends with every note: attack 0, decay 2, sustain 0,
/// release 4, oscillator on.
inline constexpr uint32_t kKeyPatch = 0x020400FF;

/// Scale of the noise's jitter of the phase: up to a thousandth of a cycle a sample.
inline constexpr double kPhaseJitter = 0.001;

/// The output filter's memory decays by this factor a sample once the level is 0 (a time
/// constant of about 1000 samples).
inline constexpr double kFilterDecay = 0.999;

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
  /// The plain per-sample algorithm; the mixer's block path takes its steps apart (advance,
  /// the oscillator over many samples at once, filter) and gives the same bits.
  void render(float out[2], NoiseGenerator& noise);

  /// How many of the next `frames` renders draw from the noise stream: every render while
  /// the voice sounds, up to and including the one in which its envelope ends.
  unsigned framesDrawing(unsigned frames) const;

  /// The envelope and phase of the next `count` renders (count <= framesDrawing), without
  /// the oscillator and the filter, given their noise draws: records the phase each render's
  /// oscillator reads and the level its filter uses.
  void advance(unsigned count, const float* noise, double* phases, double* levels);

  /// The oscillator sample x scaled by the level just stepped to, as the filter takes it.
  static float scaled(float oscillator, double level) {
    return static_cast<float>(static_cast<double>(oscillator) * level);
  }

  /// The output filter: takes the sample x and the current level, returns and remembers the
  /// output. A one-pole low-pass that opens with the cube of the level: transparent at full
  /// level, a decay by kFilterDecay a sample towards silence at level 0.
  float filter(float x, double currentLevel) {
    const double cube = currentLevel * currentLevel * currentLevel;
    const double y = static_cast<double>(x) -
                     (1.0 - cube) * (static_cast<double>(x) - filterMemory * kFilterDecay);
    const float sample = static_cast<float>(y);
    filterMemory = static_cast<double>(sample);
    return sample;
  }

  /// True when the voice is silent and its tail has settled: every later render, until
  /// the next note-on, returns restingOutput() and changes nothing.
  bool resting() const;
  float restingOutput() const { return static_cast<float>(filterMemory); }

  /// True once the envelope has ended (or never started): only the filter tail remains.
  bool silent() const { return !(increment > 0.0); }

 private:
  /// One sounding render's envelope and phase, with its noise draw n: ends the voice once its
  /// envelope has run out (the rest of the render still runs, with no pitch and no level),
  /// then steps level, phase and counter.
  void step(float n);
};

}  // namespace consynth
