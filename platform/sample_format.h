#pragma once

#include <cstddef>
#include <cstdint>

// The sound as it leaves for the device: the engine's 32-bit float samples, scaled by the
// output gain and put in the form the device takes. No I/O: shared by every system's output
// and tested on its own.

namespace consynth::platform {

/// The sample formats an output may take, all little-endian, most wanted first: float as
/// the engine renders it, then integers from the widest down.
enum class SampleFormat {
  Float32,      ///< 32-bit IEEE float, full scale at 1.0
  Int32,        ///< 32-bit signed integer
  Int24In32,    ///< 24-bit signed integer in the low three bytes of four, sign-extended
  Int24Packed,  ///< 24-bit signed integer in three bytes
  Int16,        ///< 16-bit signed integer
};

inline constexpr SampleFormat kSampleFormats[] = {SampleFormat::Float32, SampleFormat::Int32,
                                                  SampleFormat::Int24In32,
                                                  SampleFormat::Int24Packed, SampleFormat::Int16};

/// Bytes one sample takes in `format`.
unsigned bytesPerSample(SampleFormat format);

/// The factor a gain of `decibels` scales the sound by: 10^(dB/20), exactly 1 at 0 dB.
double gainFactor(double decibels);

/// Writes `count` samples, each `in[i]` times `gain`, to `out` in `format`.
/// - Float32: the product rounded to float once; with a gain of exactly 1 the samples are
///   copied bit for bit.
/// - Integers: the product scaled so that 1.0 is 2^(bits-1), clipped to the format's range
///   ([-2^(bits-1), 2^(bits-1) - 1], so +1.0 itself just clips), and rounded to the nearest
///   integer, ties to even. A sample that is not a number becomes 0.
/// `out` holds count * bytesPerSample(format) bytes; it may not overlap `in`.
void convertSamples(const float* in, size_t count, double gain, SampleFormat format, void* out);

}  // namespace consynth::platform
