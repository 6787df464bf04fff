#include "synth/oscillator.h"

namespace consynth {

float oscillatorSum(double phase) {
  return oscillatorSum(phase, [](double x) { return std::sin(x); });
}

}  // namespace consynth
