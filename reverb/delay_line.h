#pragma once

#include <cstdint>

namespace consynth {

/// A circular sample store far longer than any delay in use, so that a line keeps the
/// samples of a longer delay set while a shorter one is selected.
struct DelayLine {
  static constexpr uint32_t kCapacity = 100000;

  float samples[kCapacity];
  uint32_t length;      ///< delay in use, rewritten on every call
  uint32_t writeIndex;  ///< position written next

  /// The `count` samples from position `start` on (start < length), wrapping at `length`,
  /// as one contiguous run: a pointer into the line when they do not wrap, else a copy in
  /// `scratch`. count <= length. Readers may look a few samples past `count` (into the
  /// line's spare capacity or the scratch's padding); those values are unspecified.
  const float* window(uint32_t start, uint32_t count, float* scratch) const {
    if (start + count <= length) return samples + start;
    const uint32_t head = length - start;
    for (uint32_t i = 0; i < head; ++i)
      scratch[i] = samples[start + i];
    for (uint32_t i = head; i < count; ++i)
      scratch[i] = samples[i - head];
    return scratch;
  }

  /// Stores `count` values from position `start` on (start < length), wrapping at `length`.
  void write(uint32_t start, const float* values, uint32_t count) {
    uint32_t position = start;
    for (uint32_t i = 0; i < count; ++i) {
      samples[position] = values[i];
      if (++position == length) position = 0;
    }
  }
};

}  // namespace consynth
