#include "formats/wav_format.h"

#include <bit>
#include <cstring>

namespace consynth {

namespace {

// Appends little-endian fields to a byte array.
struct ByteWriter {
  unsigned char* at;

  void text(const char (&chars)[5]) {
    std::memcpy(at, chars, 4);
    at += 4;
  }
  void u16(uint16_t v) {
    *at++ = static_cast<unsigned char>(v);
    *at++ = static_cast<unsigned char>(v >> 8);
  }
  void u32(uint32_t v) {
    u16(static_cast<uint16_t>(v));
    u16(static_cast<uint16_t>(v >> 16));
  }
};

}  // namespace

std::array<unsigned char, kWavHeaderBytes> wavHeader(uint32_t frames) {
  constexpr uint16_t kFloatFormat = 3;
  constexpr uint16_t kChannels = 2;
  constexpr uint32_t kRate = kSampleRate;
  constexpr uint16_t kBlockAlign = kWavBytesPerFrame;
  const uint32_t dataBytes = frames * kBlockAlign;

  std::array<unsigned char, kWavHeaderBytes> header{};
  ByteWriter w{header.data()};
  w.text("RIFF");
  w.u32(static_cast<uint32_t>(kWavHeaderBytes - 8) + dataBytes);
  w.text("WAVE");
  w.text("fmt ");
  w.u32(18);
  w.u16(kFloatFormat);
  w.u16(kChannels);
  w.u32(kRate);
  w.u32(kRate * kBlockAlign);
  w.u16(kBlockAlign);
  w.u16(32);
  w.u16(0);  // no extension follows
  w.text("fact");
  w.u32(4);
  w.u32(frames);  // samples per channel
  w.text("data");
  w.u32(dataBytes);
  return header;
}

void wavFrameBytes(const float* interleaved, uint32_t frames, unsigned char* out) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out, interleaved, static_cast<size_t>(frames) * 2 * sizeof(float));
  } else {
    for (uint32_t i = 0; i < 2 * frames; ++i) {
      ByteWriter{out + 4 * i}.u32(std::bit_cast<uint32_t>(interleaved[i]));
    }
  }
}

}  // namespace consynth
