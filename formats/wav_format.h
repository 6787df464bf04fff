#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "synth/sample_rate.h"

namespace consynth {

/// Bytes of one frame in the data chunk: two 32-bit float samples, left and right.
inline constexpr uint32_t kWavBytesPerFrame = 2 * sizeof(float);

/// RIFF header, an 18-byte `fmt ` chunk, a `fact` chunk and the `data` chunk's header.
inline constexpr size_t kWavHeaderBytes = 58;

/// The largest frame count whose stereo float data still fits a RIFF size field: about
/// 3 h 22 min at 44,100 frames a second.
inline constexpr uint64_t kMaxWavFrames = (0xFFFFFFFFull - (kWavHeaderBytes - 8)) / 8;

/// The header of a RIFF/WAVE file holding `frames` frames of IEEE float (format tag 3),
/// 2 channels, 44,100 Hz, 32-bit, to be followed by the frame data. Non-PCM data takes the
/// extended `fmt ` chunk (with an empty extension) and a `fact` chunk giving the length.
std::array<unsigned char, kWavHeaderBytes> wavHeader(uint32_t frames);

/// Interleaved stereo float frames as the little-endian bytes of a WAV data chunk:
/// 8 bytes a frame into `out`.
void wavFrameBytes(const float* interleaved, uint32_t frames, unsigned char* out);

}  // namespace consynth
