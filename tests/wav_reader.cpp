#include "tests/wav_reader.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>

namespace consynth::test {

namespace {

uint32_t le32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

std::vector<float> readWavFloats(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), {});
  if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
      std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
    return {};
  }
  // Walk the chunks to the data chunk; chunks are padded to an even size.
  size_t pos = 12;
  while (pos + 8 <= bytes.size()) {
    const uint32_t size = le32(&bytes[pos + 4]);
    if (std::memcmp(&bytes[pos], "data", 4) == 0) {
      if (pos + 8 + size > bytes.size()) return {};
      std::vector<float> samples(size / 4);
      std::memcpy(samples.data(), &bytes[pos + 8], samples.size() * 4);
      return samples;
    }
    pos += 8 + size + (size & 1);
  }
  return {};
}

}  // namespace consynth::test
