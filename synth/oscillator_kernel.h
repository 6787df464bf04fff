#pragma once

// The vector oscillator, written once for any vector unit and included only by the source
// file of each variant, which is compiled for its own instruction set. Everything here has
// internal linkage and the shared templates are instantiated only for the variant's own
// vector type, so no variant's machine code can stand in for another's at link time.
//
// Each lane is one voice-sample. The oscillator sum is
//   acc = float(sin(sin(a_k) * 2.72) + double(acc)) over the partials k,
// and only the library's sine gives the bits the renders are made of. So the lanes compute
// a fast sine with a proven error bound and carry, through every step, an interval that
// must contain what the library's sine would have given: the library's sine is allowed to
// be 2 units in the last place off the true sine; times 2.72 and the float sum are monotone,
// so their intervals follow from the ends; the outer sine moves by at most as much as its
// argument. Where the low and the high end of the final sum are the same nonzero float,
// that float is the library's result; other lanes are left to the caller.

#include <immintrin.h>

#include <cstdint>

#include "synth/oscillator.h"
#include "synth/oscillator_paths.h"

namespace consynth {
namespace {

// Reduction by pi: sin(x) = (-1)^k sin(x - k pi) with k the integer nearest x / pi.
constexpr double kInversePi = 0x1.45f306dc9c883p-2;  // double nearest 1 / pi
constexpr double kPiHigh = 0x1.921fb54442d18p+1;     // double nearest pi
constexpr double kPiLow = 0x1.1a62633145c07p-53;     // double nearest pi - kPiHigh
// Adding and then subtracting 1.5 * 2^52 rounds a double below 2^51 to an integer, which
// is left in the low bits of the sum, its parity in the last one.
constexpr double kRoundingShift = 0x1.8p52;
// Beyond this the reduction is no longer exact (see boundLibrarySine); such lanes fall back.
constexpr double kLargestArgument = 0x1p30;

// sin(r) = r + r^3 * (c3 + c5 r^2 + ... + c19 r^16) + O(r^21): the Taylor coefficients
// (-1)^j / (2j + 1)! for j = 1 .. 9, each the double nearest to it.
constexpr double kSineCoefficients[9] = {
    -0x1.5555555555555p-3,  0x1.1111111111111p-7,   -0x1.a01a01a01a01ap-13,
    0x1.71de3a556c734p-19,  -0x1.ae64567f544e4p-26, 0x1.6124613a86d09p-33,
    -0x1.ae7f3e733b81fp-41, 0x1.952c77030ad4ap-49,  -0x1.2f49b46814157p-57};

// Half-width of the interval around the fast sine: |r| * kRangeWidth + |k| * kTurnWidth +
// spread * kSpreadWidth + kAbsoluteWidth.
// - The fast sine's own error is below |r| * 2^-47 + |k| * 2^-106: the analysis gives about
//   |r| * 2^-50.5 (truncation after r^19, coefficient and Horner roundings, the rounding of
//   r) and |k| * 2^-108.04 for pi - kPiHigh - kPiLow; the largest seen against quad
//   precision is |r| * 2^-51.8.
// - The library's sine lies within 2 units in the last place (2^-51 relative) of the true
//   one, which is at most |r| + spread in size; the extra 2^-49 |r| and 2^-49 spread cover
//   that and the roundings of the interval's own arithmetic.
// - The outer sine moves by no more than its argument, which is spread from x at most.
constexpr double kRangeWidth = 0x1p-47 + 0x1p-49;
constexpr double kTurnWidth = 0x1p-106;
constexpr double kSpreadWidth = 1.0 + 0x1p-49;
// Keeps the interval honest where the values are subnormal and the relative terms vanish.
constexpr double kAbsoluteWidth = 0x1p-1060;

// MXCSR: all exceptions masked, round to nearest, neither flush-to-zero nor
// denormals-are-zero. The bounds assume it and the float conversions round by it.
constexpr unsigned kControlBits = 0xFFC0;
constexpr unsigned kDefaultControl = 0x1F80;

bool defaultFloatingPointMode() {
  return (_mm_getcsr() & kControlBits) == kDefaultControl;
}

// The interval [low, high] holds the library's sin(y) for every y within `spread` of x.
// Returns the lanes where that is proven (x finite and below kLargestArgument in size).
template <class V>
[[gnu::always_inline]] inline typename V::Mask boundLibrarySine(typename V::Vec x,
                                                                typename V::Vec spread,
                                                                typename V::Vec& low,
                                                                typename V::Vec& high) {
  using Vec = typename V::Vec;
  const Vec shifted = V::fma(x, V::set(kInversePi), V::set(kRoundingShift));
  const Vec k = shifted - V::set(kRoundingShift);
  // For |x| < 2^30, x - k * kPiHigh is a multiple of kPiHigh's last place (or of x's, when
  // |x| < 2) and below 2 in size, so the fused multiply-add gives it exactly.
  const Vec r = V::fnma(k, V::set(kPiLow), V::fnma(k, V::set(kPiHigh), x));
  const Vec z = r * r;
  Vec q = V::set(kSineCoefficients[8]);
  for (int j = 7; j >= 0; --j)
    q = V::fma(q, z, V::set(kSineCoefficients[j]));
  const Vec sine = V::negateWhereOdd(V::fma(r * z, q, r), shifted);

  const Vec halfWidth =
      V::fma(V::abs(r), V::set(kRangeWidth),
             V::fma(V::abs(k), V::set(kTurnWidth),
                    V::fma(spread, V::set(kSpreadWidth), V::set(kAbsoluteWidth))));
  low = sine - halfWidth;
  high = sine + halfWidth;
  return V::less(V::abs(x), V::set(kLargestArgument));
}

// V::kWidth sums from as many phases; returns the lanes whose sum is proven.
template <class V>
[[gnu::always_inline]] inline typename V::Mask proveGroup(const double* phases, float* sums) {
  using Vec = typename V::Vec;
  using Mask = typename V::Mask;
  const Vec phase = V::load(phases);
  const Vec zero = V::set(0.0);
  Mask proven = V::all();

  // Inner sines; the partials are independent chains, interleaved to hide their latency.
  Vec low[kPartialCount];
  Vec high[kPartialCount];
  for (int k = 0; k < kPartialCount; ++k) {
    proven = V::both(proven, boundLibrarySine<V>(partialArgument(phase, k), zero, low[k], high[k]));
  }
  // Outer sines: the argument is the inner sine times the depth, monotone in it.
  for (int k = 0; k < kPartialCount; ++k) {
    const Vec argumentLow = low[k] * kShapeDepth;
    const Vec argumentHigh = high[k] * kShapeDepth;
    proven = V::both(proven,
                     boundLibrarySine<V>(argumentLow, argumentHigh - argumentLow, low[k], high[k]));
  }
  // The float sums, monotone in both terms: a low and a high chain.
  typename V::Floats accLow = V::toFloats(zero);
  typename V::Floats accHigh = accLow;
  for (int k = 0; k < kPartialCount; ++k) {
    accLow = V::toFloats(low[k] + V::toDoubles(accLow));
    accHigh = V::toFloats(high[k] + V::toDoubles(accHigh));
  }
  // Zero is left out: monotonicity cannot tell +0 from -0.
  const Vec sumLow = V::toDoubles(accLow);
  const Vec sumHigh = V::toDoubles(accHigh);
  proven = V::both(proven, V::both(V::equal(sumLow, sumHigh), V::notEqual(sumLow, zero)));
  V::store(sums, accLow);
  return proven;
}

// The body of every vector variant's OscillatorPath::run.
template <class V>
[[gnu::always_inline]] inline uint64_t proveSums(const double* phases, float* sums,
                                                 unsigned count) {
  constexpr unsigned kWidth = V::kWidth;
  constexpr uint64_t kGroupLanes = (uint64_t{1} << kWidth) - 1;
  const uint64_t allLanes = count >= 64 ? ~uint64_t{0} : (uint64_t{1} << count) - 1;
  if (!defaultFloatingPointMode()) return allLanes;

  uint64_t proven = 0;
  unsigned first = 0;
  for (; first + kWidth <= count; first += kWidth)
    proven |= (V::bits(proveGroup<V>(phases + first, sums + first)) & kGroupLanes) << first;
  if (first < count) {  // the last, partial group, padded with zero phases
    double padded[kWidth] = {};
    float paddedSums[kWidth];
    for (unsigned i = first; i < count; ++i)
      padded[i - first] = phases[i];
    proven |= (V::bits(proveGroup<V>(padded, paddedSums)) & kGroupLanes) << first;
    for (unsigned i = first; i < count; ++i)
      sums[i] = paddedSums[i - first];
  }
  return ~proven & allLanes;
}

}  // namespace
}  // namespace consynth
