#pragma once

// The voice's oscillator: four slightly detuned sine partials, each waveshaped by an outer
// sine, summed in single precision. Every render depends on these exact doubles and on the
// order of the operations below, so both the per-sample code and the vector variants take
// them from here.

#include <cmath>

namespace consynth {

inline constexpr int kPartialCount = 4;

/// Phase offset of each partial in cycles: 0.3333 tripled once per partial by repeated
/// multiplication. These are the doubles that repetition gives, not the ones nearest to
/// the decimal values 0.9999, 2.9997, 8.9991 and 26.9973.
inline constexpr double kPartialOffsets[kPartialCount] = {
    0.3333 * 3.0, 0.3333 * 3.0 * 3.0, 0.3333 * 3.0 * 3.0 * 3.0, 0.3333 * 3.0 * 3.0 * 3.0 * 3.0};
static_assert(kPartialOffsets[2] == 8.999099999999999);
static_assert(kPartialOffsets[3] == 26.997299999999996);

/// Frequency of each partial relative to the voice's: 1.0 plus 0.005 per partial by
/// repeated addition, which gives 1.0099999999999998 and 1.0149999999999997, not the doubles
/// nearest to 1.01 and 1.015.
inline constexpr double kPartialRatios[kPartialCount] = {1.0, 1.0 + 0.005, 1.0 + 0.005 + 0.005,
                                                         1.0 + 0.005 + 0.005 + 0.005};
static_assert(kPartialRatios[2] == 1.0099999999999998);
static_assert(kPartialRatios[3] == 1.0149999999999997);

/// Alternating polarity of the partials' arguments.
inline constexpr double kPartialPolarities[kPartialCount] = {-1.0, 1.0, -1.0, 1.0};

/// 3.141592 as written, not pi: the renders depend on it.
inline constexpr double kPiAsWritten = 3.141592;

/// Depth of the waveshaping: the inner sine times this is the outer sine's argument.
inline constexpr double kShapeDepth = 2.72;

/// Argument of partial k's inner sine at `phase`, multiplied in exactly this order. The
/// phase is never reduced to one cycle: d multiplies the whole phase and the constant is not
/// pi, so removing whole cycles would change the argument. Written for any type with double
/// arithmetic, so that vector code forms the very same doubles.
template <class Real>
inline Real partialArgument(Real phase, int k) {
  return (phase + kPartialOffsets[k]) * kPartialRatios[k] * kPiAsWritten * 2.0 *
         kPartialPolarities[k];
}

/// The oscillator's single-precision sum at `phase`, with `sine` as the double sine.
template <class Sine>
inline float oscillatorSum(double phase, Sine sine) {
  // The four inner sines first, then the four outer ones: the same values either way, but
  // the library's sine runs faster in like runs.
  double shaped[kPartialCount];  // inner sine times the depth, the outer sine's argument
  for (int k = 0; k < kPartialCount; ++k)
    shaped[k] = sine(partialArgument(phase, k)) * kShapeDepth;
  float acc = 0.0f;
  for (int k = 0; k < kPartialCount; ++k)
    acc = static_cast<float>(sine(shaped[k]) + static_cast<double>(acc));
  return acc;
}

/// The oscillator's sum with the C library's sine: the reference that every faster variant
/// reproduces bit for bit.
float oscillatorSum(double phase);

}  // namespace consynth
