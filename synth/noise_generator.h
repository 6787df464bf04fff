#pragma once

#include <cstdint>

namespace consynth {

/// Tiny additive pseudo-random generator that jitters the phase of every sounding voice.
/// One instance is shared by all voices, so they draw from a single stream.
struct NoiseGenerator {
  int32_t s0 = 1;
  int32_t s1 = 234567;
  int32_t s2 = 890123;

  /// Advances the state; returns the top 16 bits of the new sum scaled into [-1, 1).
  float noiseNextFloat() {
    // Sums wrap at 32 bits, so they are formed unsigned and only then read as signed.
    const uint32_t t = static_cast<uint32_t>(s0) + static_cast<uint32_t>(s1);
    s1 = static_cast<int32_t>(static_cast<uint32_t>(s1) + static_cast<uint32_t>(s2));
    s2 = static_cast<int32_t>(static_cast<uint32_t>(s2) + t);
    s0 = static_cast<int32_t>(t);
    return static_cast<float>(static_cast<int32_t>(t) >> 16) * 3.0517578125e-05f;  // 2^-15
  }
};

}  // namespace consynth
