#include "platform/sample_format.h"

#include <cmath>
#include <cstring>

namespace consynth::platform {

namespace {

// The sample scaled to `bits`-bit full scale, clipped and rounded to the nearest integer.
int32_t toInteger(float sample, double gain, int bits) {
  const double fullScale = std::ldexp(1.0, bits - 1);  // a power of two: the scaling is exact
  const double scaled = static_cast<double>(sample) * gain * fullScale;
  if (std::isnan(scaled)) return 0;
  // The bounds are whole numbers, so clipping first leaves the rounding unchanged.
  const double clipped = std::fmin(std::fmax(scaled, -fullScale), fullScale - 1.0);
  return static_cast<int32_t>(std::nearbyint(clipped));
}

void putLittleEndian(unsigned char* out, uint32_t value, unsigned bytes) {
  for (unsigned i = 0; i < bytes; ++i)
    out[i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

unsigned bytesPerSample(SampleFormat format) {
  switch (format) {
    case SampleFormat::Int24Packed:
      return 3;
    case SampleFormat::Int16:
      return 2;
    case SampleFormat::Float32:
    case SampleFormat::Int32:
    case SampleFormat::Int24In32:
      break;
  }
  return 4;
}

double gainFactor(double decibels) {
  return decibels == 0.0 ? 1.0 : std::pow(10.0, decibels / 20.0);
}

void convertSamples(const float* in, size_t count, double gain, SampleFormat format, void* out) {
  auto* bytes = static_cast<unsigned char*>(out);
  if (format == SampleFormat::Float32) {
    if (gain == 1.0) {
      std::memcpy(out, in, count * sizeof(float));
      return;
    }
    for (size_t i = 0; i < count; ++i) {
      const auto scaled = static_cast<float>(static_cast<double>(in[i]) * gain);
      std::memcpy(bytes + i * sizeof(float), &scaled, sizeof(float));
    }
    return;
  }
  int bits = 16;
  if (format == SampleFormat::Int32) bits = 32;
  if (format == SampleFormat::Int24In32 || format == SampleFormat::Int24Packed) bits = 24;
  const unsigned width = bytesPerSample(format);
  for (size_t i = 0; i < count; ++i) {
    // Two's complement throughout: the sign fills the fourth byte of Int24In32.
    const auto value = static_cast<uint32_t>(toInteger(in[i], gain, bits));
    putLittleEndian(bytes + i * width, value, width);
  }
}

}  // namespace consynth::platform
