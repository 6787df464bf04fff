#include "tests/support/wav_compare.h"

#include "formats/wav_format.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>

namespace {

using consynth::compareSamples;

uint32_t bits(float f) {
  return std::bit_cast<uint32_t>(f);
}

std::vector<uint32_t> samples(std::initializer_list<float> values) {
  std::vector<uint32_t> out;
  for (float v : values)
    out.push_back(bits(v));
  return out;
}

TEST(SampleComparison, IdenticalRendersAreBitExact) {
  const auto a = samples({0.0f, -0.25f, 1e-40f, 3.0f});
  const auto c = compareSamples(a, a);
  EXPECT_TRUE(c.bitExact());
  EXPECT_EQ(c.samples, 4u);
  EXPECT_TRUE(consynth::acceptable(c));
}

TEST(SampleComparison, LastBitDifferencesAreCountedAndAccepted) {
  const auto expected = samples({0.5f, 0.25f, -0.125f, 0.0f});
  auto actual = expected;
  actual[1] = bits(std::nextafter(0.25f, 1.0f));
  actual[2] = bits(std::nextafter(-0.125f, -1.0f));
  const auto c = compareSamples(expected, actual);
  EXPECT_FALSE(c.bitExact());
  EXPECT_EQ(c.differing, 2u);
  EXPECT_EQ(c.firstDiffering, 1u);
  EXPECT_DOUBLE_EQ(c.largestDifference, std::ldexp(0.25, -23));  // one step above 0.25
  EXPECT_TRUE(consynth::acceptable(c));
}

TEST(SampleComparison, DifferencesBeyondTheSineBoundAreRejected) {
  const auto expected = samples({0.5f, 0.5f});
  const auto c = compareSamples(expected, samples({0.5f, 0.50002f}));
  EXPECT_EQ(c.differing, 1u);
  EXPECT_GT(c.largestDifference, consynth::kRuntimeSineTolerance);
  EXPECT_FALSE(consynth::acceptable(c));
}

TEST(SampleComparison, FlippedZeroSignOrNaNIsNeverARoundingDifference) {
  EXPECT_FALSE(consynth::acceptable(compareSamples(samples({0.0f}), samples({-0.0f}))));
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_FALSE(consynth::acceptable(compareSamples(samples({0.0f}), samples({nan}))));
}

TEST(SampleComparison, ALengthMismatchFailsEvenWhenThePrefixMatches) {
  const auto c = compareSamples(samples({1.0f, 2.0f}), samples({1.0f}));
  EXPECT_FALSE(c.sameLength);
  EXPECT_EQ(c.differing, 0u);
  EXPECT_FALSE(c.bitExact());
  EXPECT_FALSE(consynth::acceptable(c));
}

TEST(WavSampleReading, FindsTheDataChunkPastOtherChunks) {
  const std::string path = testing::TempDir() + "consynth_wav_compare_test.wav";
  {
    std::ofstream out(path, std::ios::binary);
    const unsigned char
        header[] = {'R',  'I',  'F', 'F', 54,   0,    0,    0, 'W', 'A', 'V', 'E',
                    'f',  'm',  't', ' ', 16,   0,    0,    0, 3,   0,   2,   0,
                    0x44, 0xAC, 0,   0,   0x20, 0x62, 0x05, 0, 8,   0,   32,  0,
                    'L',  'I',  'S', 'T', 1,    0,    0,    0, 'x', 0,  // odd-sized chunk, padded
                    'd',  'a',  't', 'a', 8,    0,    0,    0};
    out.write(reinterpret_cast<const char*>(header), sizeof header);
    const float data[2] = {0.5f, -1.0f};
    out.write(reinterpret_cast<const char*>(data), sizeof data);
  }
  std::string error;
  const auto read = consynth::readWavSampleBits(path, error);
  std::remove(path.c_str());
  ASSERT_TRUE(read) << error;
  EXPECT_EQ(*read, samples({0.5f, -1.0f}));
}

TEST(WavSampleReading, ReadsTheRenderersOwnFiles) {
  const std::string path = testing::TempDir() + "consynth_wav_writer_test.wav";
  const float frames[4] = {0.5f, -1.0f, -0.0f, 1e-40f};
  const auto header = consynth::wavHeader(2);
  unsigned char data[sizeof frames];
  consynth::wavFrameBytes(frames, 2, data);
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(header.data()), header.size());
    out.write(reinterpret_cast<const char*>(data), sizeof data);
  }
  std::string error;
  const auto read = consynth::readWavSampleBits(path, error);
  std::remove(path.c_str());
  ASSERT_TRUE(read) << error;
  EXPECT_EQ(*read, samples({0.5f, -1.0f, -0.0f, 1e-40f}));
  // The RIFF size counts all that follows it; the fact chunk holds frames per channel.
  EXPECT_EQ(header[4] | header[5] << 8, static_cast<int>(header.size() + sizeof data - 8));
  EXPECT_EQ(header[46], 2);
}

TEST(WavSampleReading, RefusesIntegerSamples) {
  const std::string path = testing::TempDir() + "consynth_wav_compare_pcm.wav";
  {
    std::ofstream out(path, std::ios::binary);
    const unsigned char header[] = {'R',  'I',  'F', 'F', 40,   0,    0,    0, 'W', 'A', 'V', 'E',
                                    'f',  'm',  't', ' ', 16,   0,    0,    0, 1,   0,   2,   0,
                                    0x44, 0xAC, 0,   0,   0x10, 0xB1, 0x02, 0, 4,   0,   16,  0,
                                    'd',  'a',  't', 'a', 4,    0,    0,    0, 1,   2,   3,   4};
    out.write(reinterpret_cast<const char*>(header), sizeof header);
  }
  std::string error;
  const auto read = consynth::readWavSampleBits(path, error);
  std::remove(path.c_str());
  EXPECT_FALSE(read);
  EXPECT_NE(error.find("float"), std::string::npos);
}

}  // namespace
