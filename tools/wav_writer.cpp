#include "tools/wav_writer.h"

#include <bit>
#include <cstring>

namespace consynth {

namespace {

void put32(std::ostream& out, uint32_t v) {
  const char bytes[4] = {static_cast<char>(v), static_cast<char>(v >> 8),
                         static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
  out.write(bytes, 4);
}

void put16(std::ostream& out, uint16_t v) {
  const char bytes[2] = {static_cast<char>(v), static_cast<char>(v >> 8)};
  out.write(bytes, 2);
}

}  // namespace

void writeWavHeader(std::ostream& out, uint32_t frames) {
  constexpr uint16_t kFloatFormat = 3;
  constexpr uint16_t kChannels = 2;
  constexpr uint32_t kRate = 44100;
  constexpr uint16_t kBlockAlign = kChannels * sizeof(float);
  const uint32_t dataBytes = frames * kBlockAlign;

  out.write("RIFF", 4);
  put32(out, 36 + dataBytes);
  out.write("WAVEfmt ", 8);
  put32(out, 16);
  put16(out, kFloatFormat);
  put16(out, kChannels);
  put32(out, kRate);
  put32(out, kRate * kBlockAlign);
  put16(out, kBlockAlign);
  put16(out, 32);
  out.write("data", 4);
  put32(out, dataBytes);
}

void writeWavFrames(std::ostream& out, const float* interleaved, uint32_t frames) {
  if constexpr (std::endian::native == std::endian::little) {
    out.write(reinterpret_cast<const char*>(interleaved),
              static_cast<std::streamsize>(frames) * 2 * sizeof(float));
  } else {
    for (uint32_t i = 0; i < 2 * frames; ++i) {
      uint32_t bits;
      std::memcpy(&bits, &interleaved[i], sizeof bits);
      put32(out, bits);
    }
  }
}

}  // namespace consynth
