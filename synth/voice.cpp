#include "synth/voice.h"

#include <algorithm>
#include <bit>
#include <cmath>

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

void Voice::render(float out[2], NoiseGenerator& noise) {
  float x = 0.0f;

  if (increment > 0.0) {
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
      // The rest of this sample still runs, with no pitch and no level.
      increment = 0.0;
      level = 0.0;
    }

    float acc = 0.0f;
    if (patch & 1u) {
      // Four partials, each detuned by 0.5 % more than the last, with a fixed phase offset
      // h that triples per partial and alternating polarity; each is waveshaped by an outer
      // sine of depth 2.72. h and d are stepped by repeated arithmetic, not tabulated, so
      // they carry the rounding of that repetition. The four inner sines go first, then
      // the four outer ones: the same values, but the sine calls run faster in like runs.
      double h = 0.3333;
      double d = 1.0;
      double shaped[4];  // inner sine times the depth, the outer sine's argument
      for (int k = 0; k < 4; ++k) {
        h *= 3.0;
        const double polarity = (k % 2 == 0) ? -1.0 : 1.0;
        const double a = (phase + h) * d * 3.141592 * 2.0 * polarity;
        shaped[k] = std::sin(a) * 2.72;
        d += 0.005;
      }
      for (int k = 0; k < 4; ++k) {
        acc = static_cast<float>(std::sin(shaped[k]) + static_cast<double>(acc));
      }
    }

    const float n = noise.noiseNextFloat();
    level = level + rate;
    phase = (phase + increment) + static_cast<double>(n) * 0.001;
    counter = counter + 1;
    x = static_cast<float>(static_cast<double>(acc) * level);
  }

  const float sample = filter(x);
  out[0] = sample;
  out[1] = sample;
}

bool Voice::resting() const {
  // With no oscillator sample and a level that no longer moves, each output depends only
  // on the previous one. The tail decays until one step returns the value it started from
  // (single(0.999 * m) == m, a few hundred times the smallest subnormal), and from then on
  // every step returns that same value.
  if (!silent()) return false;
  Voice next = *this;
  next.filter(0.0f);
  return std::bit_cast<uint64_t>(next.filterMemory) == std::bit_cast<uint64_t>(filterMemory);
}

float Voice::filter(float x) {
  // One-pole low-pass that opens with the cube of the level: transparent at full level,
  // a 0.999 decay towards silence at level 0.
  const double cube = level * level * level;
  const double y =
      static_cast<double>(x) - (1.0 - cube) * (static_cast<double>(x) - filterMemory * 0.999);
  const float sample = static_cast<float>(y);
  filterMemory = static_cast<double>(sample);
  return sample;
}

}  // namespace consynth
