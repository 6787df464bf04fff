#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace consynth {

/// The samples of a float WAV file's data chunk, as raw bit patterns, so that a comparison
/// sees every bit (signed zeros and NaN payloads included).
std::optional<std::vector<uint32_t>> readWavSampleBits(const std::string& path, std::string& error);

/// How far a render strays from its reference, sample by sample.
struct SampleComparison {
  uint64_t samples = 0;  ///< samples compared (the shorter length)
  bool sameLength = true;
  uint64_t differing = 0;        ///< samples whose bits differ
  uint64_t firstDiffering = 0;   ///< index of the first one, valid when differing > 0
  double largestDifference = 0;  ///< largest |actual - expected|; infinity if a NaN differs

  bool bitExact() const { return sameLength && differing == 0; }
};

SampleComparison compareSamples(const std::vector<uint32_t>& expected,
                                const std::vector<uint32_t>& actual);

/// The largest difference accepted when the C runtime's double sine differs from the one
/// the reference was made with in its last bit: such a difference is nearly always lost in
/// the rounding to single precision that follows, and where it is not, it stays far below
/// this bound. Anything larger is a real fault.
inline constexpr double kRuntimeSineTolerance = 1e-5;

/// Bit for bit, or within kRuntimeSineTolerance; never a length mismatch.
bool acceptable(const SampleComparison& c);

}  // namespace consynth
