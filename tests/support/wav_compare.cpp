#include "tests/support/wav_compare.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>

namespace consynth {

namespace {

uint32_t get32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint16_t get16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

}  // namespace

std::optional<std::vector<uint32_t>> readWavSampleBits(const std::string& path,
                                                       std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": cannot open";
    return std::nullopt;
  }
  const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
  if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
      std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
    error = path + ": not a RIFF/WAVE file";
    return std::nullopt;
  }

  bool floatFormat = false;
  // Chunks follow the 12-byte RIFF header, each padded to an even length.
  for (size_t at = 12; at + 8 <= bytes.size();) {
    const unsigned char* chunk = bytes.data() + at;
    const uint32_t size = get32(chunk + 4);
    const size_t body = at + 8;
    if (size > bytes.size() - body) {
      error = path + ": truncated chunk";
      return std::nullopt;
    }
    if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 16) {
      floatFormat = get16(chunk + 8) == 3 && get16(chunk + 22) == 32;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!floatFormat) {
        error = path + ": not 32-bit IEEE float samples";
        return std::nullopt;
      }
      std::vector<uint32_t> samples(size / 4);
      for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = get32(chunk + 8 + 4 * i);
      return samples;
    }
    at = body + size + (size & 1);
  }
  error = path + ": no data chunk";
  return std::nullopt;
}

SampleComparison compareSamples(const std::vector<uint32_t>& expected,
                                const std::vector<uint32_t>& actual) {
  SampleComparison c;
  c.samples = std::min(expected.size(), actual.size());
  c.sameLength = expected.size() == actual.size();
  for (uint64_t i = 0; i < c.samples; ++i) {
    if (expected[i] == actual[i]) continue;
    if (c.differing++ == 0) c.firstDiffering = i;
    const double difference = std::fabs(static_cast<double>(std::bit_cast<float>(actual[i])) -
                                        static_cast<double>(std::bit_cast<float>(expected[i])));
    // A NaN on either side, or a signed zero flipped, is no rounding artefact of the sine.
    const bool signedZeroFlip = difference == 0.0;
    c.largestDifference = std::isnan(difference) || signedZeroFlip
                              ? std::numeric_limits<double>::infinity()
                              : std::max(c.largestDifference, difference);
  }
  return c;
}

bool acceptable(const SampleComparison& c) {
  return c.sameLength && c.largestDifference <= kRuntimeSineTolerance;
}

}  // namespace consynth
