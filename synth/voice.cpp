#include "synth/voice.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "synth/oscillator.h"

namespace consynth {

namespace {

// Phase increment of note 0: 6.41 Hz at 44.1 kHz. Each note above it is one equal-tempered
// semitone (2^(1/12)) higher, reached by repeated multiplication.
constexpr double kBaseIncrement = 0.00014534584401074233;
constexpr double kSemitone = 1.0594630943592953;

// Segment lengths are counted in units of 1161 samples (26.3 ms).
constexpr int32_t kAttackUnit = 1161;
constexpr int32_t kDecayUnit = 2322;
constexpr int32_t kHoldUnit = 3483;

}  // namespace

void Voice::noteOn(int note, uint32_t newPatch) {
  patch = newPatch;

  increment = kBaseIncrement;
  const int steps = std::min(note, kMaxNote);
  for (int i = 0; i < steps; ++i)
    increment *= kSemitone;

  counter = 0;
  level = 0.0;

  const int32_t attackCode = static_cast<int32_t>((newPatch >> 28) & 0xF);
  const int32_t decayCode = static_cast<int32_t>((newPatch >> 24) & 0xF);
  const int32_t sustainCode = static_cast<int32_t>((newPatch >> 20) & 0xF);
  const int32_t releaseCode = static_cast<int32_t>((newPatch >> 16) & 0xF);
  segmentLengths[0] = (attackCode + 1) * kAttackUnit;
  segmentLengths[1] = decayCode * kDecayUnit + kAttackUnit;
  segmentLengths[2] = sustainCode * kHoldUnit + kAttackUnit;
  segmentLengths[3] = releaseCode * kHoldUnit + kAttackUnit;

  // Attack rises 0 -> 1, decay falls 1 -> 0.5, sustain holds, release falls 0.5 -> 0.
  segmentRates[0] = 1.0 / static_cast<double>(segmentLengths[0]);
  segmentRates[1] = -0.5 / static_cast<double>(segmentLengths[1]);
  segmentRates[2] = 0.0;
  segmentRates[3] = -0.5 / static_cast<double>(segmentLengths[3]);
}

void Voice::step(float n) {
  double rate = 0.0;
  int32_t segmentEnd = 0;
  bool ended = true;
  for (int k = 0; k < 4; ++k) {
    segmentEnd += segmentLengths[k];
    if (counter < segmentEnd) {
      rate = segmentRates[k];
      ended = false;
      break;
    }
  }
  if (ended) {
    // The rest of this render still runs, with no pitch and no level.
    increment = 0.0;
    level = 0.0;
  }
  level = level + rate;
  phase = (phase + increment) + static_cast<double>(n) * kPhaseJitter;
  counter = counter + 1;
}

void Voice::render(float out[2], NoiseGenerator& noise) {
  float x = 0.0f;
  if (!silent()) {
    const float oscillator = (patch & 1u) ? oscillatorSum(phase) : 0.0f;
    step(noise.noiseNextFloat());
    x = scaled(oscillator, level);
  }
  const float sample = filter(x, level);
  out[0] = sample;
  out[1] = sample;
}

unsigned Voice::framesDrawing(unsigned frames) const {
  if (silent()) return 0;
  // A render finds no segment once the counter has reached every running sum of the
  // lengths; that render is the last to draw.
  int32_t segmentEnd = 0;
  int64_t envelopeEnd = INT64_MIN;
  for (int k = 0; k < 4; ++k) {
    segmentEnd += segmentLengths[k];
    envelopeEnd = std::max<int64_t>(envelopeEnd, segmentEnd);
  }
  const int64_t drawing = std::max<int64_t>(envelopeEnd - counter, 0) + 1;
  return static_cast<unsigned>(std::min<int64_t>(drawing, frames));
}

void Voice::advance(unsigned count, const float* noise, double* phases, double* levels) {
  Voice voice = *this;  // a local copy keeps the phase and level chains in registers
  for (unsigned f = 0; f < count; ++f) {
    phases[f] = voice.phase;
    voice.step(noise[f]);
    levels[f] = voice.level;
  }
  *this = voice;
}

bool Voice::resting() const {
  // With no oscillator sample and a level that no longer moves, each output depends only
  // on the previous one. The tail decays until one step returns the value it started from
  // (single(0.999 * m) == m, a few hundred times the smallest subnormal), and from then on
  // every step returns that same value.
  if (!silent()) return false;
  Voice next = *this;
  next.filter(0.0f, next.level);
  return std::bit_cast<uint64_t>(next.filterMemory) == std::bit_cast<uint64_t>(filterMemory);
}

}  // namespace consynth
