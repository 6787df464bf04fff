#pragma once

#include <cstdint>
#include <ostream>

namespace consynth {

/// The largest frame count whose stereo float data still fits a RIFF size field.
inline constexpr uint64_t kMaxWavFrames = (0xFFFFFFFFull - 36) / 8;

/// Writes the 44-byte header of a RIFF/WAVE file holding `frames` frames of IEEE float
/// (format tag 3), 2 channels, 44,100 Hz, 32-bit, to be followed by the frame data.
void writeWavHeader(std::ostream& out, uint32_t frames);

/// Writes interleaved stereo float frames as little-endian data.
void writeWavFrames(std::ostream& out, const float* interleaved, uint32_t frames);

}  // namespace consynth
