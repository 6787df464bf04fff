#pragma once

#include <cstdint>
#include <span>

namespace consynth {

/// Most phases one call of an oscillator variant takes.
inline constexpr unsigned kOscillatorMaxLanes = 64;

/// One compiled variant of the oscillator, built for a set of vector instructions. A
/// vector variant computes many sums side by side with a sine of its own, and keeps only
/// the sums it can prove equal, bit for bit, to oscillatorSum with the C library's sine.
struct OscillatorPath {
  const char* name;
  bool (*supported)();  ///< whether this processor and C library can run it
  /// Writes oscillatorSum(phases[i]) to sums[i] for i < count (count <= kOscillatorMaxLanes)
  /// and returns the lanes it could not prove, bit i for lane i; those sums are unspecified.
  uint64_t (*run)(const double* phases, float* sums, unsigned count);
};

/// Every variant built into this program: the portable one (the library's sine for every
/// sum) first, the widest last.
std::span<const OscillatorPath> oscillatorPaths();

/// How often the variants had to leave a sum to the library's sine.
struct OscillatorCounts {
  uint64_t sums = 0;       ///< voice-samples computed
  uint64_t fallbacks = 0;  ///< of those, computed again with the library's sine
};

/// Writes oscillatorSum(phases[i]) to sums[i] for i < count (count <= kOscillatorMaxLanes)
/// through `path`, computing the lanes it cannot prove with the library's sine.
void runOscillator(const OscillatorPath& path, const double* phases, float* sums, unsigned count,
                   OscillatorCounts& counts);

/// Whether a C library version string such as "2.36" is `major`.`minor` or later.
bool libraryVersionAtLeast(const char* version, int major, int minor);

}  // namespace consynth
