#pragma once

#include <string>
#include <vector>

namespace consynth::test {

/// Reads the samples of a 32-bit float WAV file's data chunk; empty on any error.
std::vector<float> readWavFloats(const std::string& path);

}  // namespace consynth::test
