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
};

}  // namespace consynth
