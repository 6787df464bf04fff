// The samples as they leave for the device (gain, integer formats) and the device picked
// from what the user typed.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/device_names.h"
#include "platform/sample_format.h"

namespace consynth::platform {
namespace {

using Bytes = std::vector<unsigned char>;

Bytes converted(float sample, double gain, SampleFormat format) {
  Bytes out(bytesPerSample(format));
  convertSamples(&sample, 1, gain, format, out.data());
  return out;
}

// Full scale is 2^(bits-1); integers are rounded to nearest, ties to even, and clipped.
struct IntegerCase {
  float sample;
  double gain;
  SampleFormat format;
  Bytes bytes;  // little-endian
};

const IntegerCase kIntegerCases[] = {
    {0.5f, 1.0, SampleFormat::Int16, {0x00, 0x40}},
    {-0.5f, 1.0, SampleFormat::Int16, {0x00, 0xC0}},
    {1.0f, 1.0, SampleFormat::Int16, {0xFF, 0x7F}},   // +1.0 just clips
    {-1.0f, 1.0, SampleFormat::Int16, {0x00, 0x80}},  // -1.0 is in range
    {3.27f, 1.0, SampleFormat::Int16, {0xFF, 0x7F}},  // the chord's peak
    {-3.27f, 1.0, SampleFormat::Int16, {0x00, 0x80}},
    {0.5f / 32768, 1.0, SampleFormat::Int16, {0x00, 0x00}},  // a tie goes to even: 0
    {1.5f / 32768, 1.0, SampleFormat::Int16, {0x02, 0x00}},  // ... and here to 2
    {0.6f / 32768, 1.0, SampleFormat::Int16, {0x01, 0x00}},  // nearest, not truncated
    {-0.6f / 32768, 1.0, SampleFormat::Int16, {0xFF, 0xFF}},
    {2.0f, 0.25, SampleFormat::Int16, {0x00, 0x40}},   // the gain applies before clipping
    {3.27f, 0.25, SampleFormat::Int16, {0xA4, 0x68}},  // 26787.8: rounded up
    {std::numeric_limits<float>::quiet_NaN(), 1.0, SampleFormat::Int16, {0x00, 0x00}},
    {-std::numeric_limits<float>::infinity(), 1.0, SampleFormat::Int16, {0x00, 0x80}},
    {0.5f, 1.0, SampleFormat::Int32, {0x00, 0x00, 0x00, 0x40}},
    {1.0f, 1.0, SampleFormat::Int32, {0xFF, 0xFF, 0xFF, 0x7F}},
    {-1.0f, 1.0, SampleFormat::Int32, {0x00, 0x00, 0x00, 0x80}},
    {0x1.fffffep-1f, 1.0, SampleFormat::Int32, {0x80, 0xFF, 0xFF, 0x7F}},  // the largest below 1
    {0.5f, 1.0, SampleFormat::Int24Packed, {0x00, 0x00, 0x40}},
    {-1.0f, 1.0, SampleFormat::Int24Packed, {0x00, 0x00, 0x80}},
    {1.0f, 1.0, SampleFormat::Int24Packed, {0xFF, 0xFF, 0x7F}},
    {-1.0f, 1.0, SampleFormat::Int24In32, {0x00, 0x00, 0x80, 0xFF}},  // sign-extended
    {-1.0f / 8388608, 1.0, SampleFormat::Int24In32, {0xFF, 0xFF, 0xFF, 0xFF}},
    {0.25f, 1.0, SampleFormat::Int24In32, {0x00, 0x00, 0x20, 0x00}},
};

TEST(SampleFormat, IntegersAreRoundedToNearestAndClippedAtFullScale) {
  for (const IntegerCase& c : kIntegerCases) {
    EXPECT_EQ(converted(c.sample, c.gain, c.format), c.bytes)
        << c.sample << " x " << c.gain << " as format " << static_cast<int>(c.format);
  }
}

TEST(SampleFormat, FloatWithoutGainIsCopiedBitForBit) {
  const float samples[] = {3.27f, -0.0f, 1e-42f, -1.5f, std::numeric_limits<float>::infinity()};
  float out[5];
  convertSamples(samples, 5, 1.0, SampleFormat::Float32, out);
  EXPECT_EQ(std::memcmp(samples, out, sizeof samples), 0);
  EXPECT_EQ(gainFactor(0.0), 1.0);  // so --gain 0 is the sound without it
}

TEST(SampleFormat, FloatIsScaledByTheGainAndRoundedOnce) {
  const double gain = gainFactor(-12.0);
  EXPECT_NEAR(gain, 0.251189, 1e-6);
  EXPECT_NEAR(gainFactor(6.0), 1.995262, 1e-6);
  const float samples[] = {3.27f, -1.0f, 0.1f};
  float out[3];
  convertSamples(samples, 3, gain, SampleFormat::Float32, out);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(std::bit_cast<uint32_t>(out[i]),
              std::bit_cast<uint32_t>(static_cast<float>(double{samples[i]} * gain)));
  }
  EXPECT_LT(out[0], 1.0f);  // -12 dB brings the chord's peak under full scale
}

TEST(SampleFormat, ConvertsWholeRunsOfSamples) {
  const float samples[] = {0.5f, -0.5f, 0.25f};
  Bytes out(3 * 3);
  convertSamples(samples, 3, 1.0, SampleFormat::Int24Packed, out.data());
  EXPECT_EQ(out, (Bytes{0x00, 0x00, 0x40, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x20}));
}

// Windows numbers its wave-out devices; the user gives a number or a part of a name.
struct ChoiceCase {
  const char* wanted;
  int index;
  const char* error;  // a part of the message, when none is picked
};

TEST(DeviceNames, PickByNumberOrByAPartOfOneName) {
  const std::vector<std::string> names = {"Speakers (Realtek)", "Headphones (USB Audio)",
                                          "Speakers (USB Audio)", "Speakers"};
  const ChoiceCase cases[] = {
      {"0", 0, nullptr},
      {"3", 3, nullptr},
      {"4", -1, "no output device numbered 4: they are 0 to 3"},
      {"99999999999999999999", -1, "no output device numbered"},
      {"headphones", 1, nullptr},
      {"REALTEK", 0, nullptr},
      {"speakers", 3, nullptr},  // a whole name, though part of two others
      {"USB", -1, "'USB' is in the names of 2 output devices (1 'Headphones (USB Audio)', 2"},
      {"HDMI", -1, "no output device's name has 'HDMI' in it"},
      {"\x1b[2J", -1, "'\\x1B[2J'"},
      {"", -1, "no output device's name has"},
  };
  for (const ChoiceCase& c : cases) {
    const DeviceChoice choice = chooseDevice(c.wanted, names);
    EXPECT_EQ(choice.index, c.index) << c.wanted;
    if (c.error != nullptr) {
      EXPECT_NE(choice.error.find(c.error), std::string::npos) << c.wanted << ": " << choice.error;
    } else {
      EXPECT_EQ(choice.error, "") << c.wanted;
    }
  }
  EXPECT_NE(chooseDevice("0", {}).error.find("there is none"), std::string::npos);
}

}  // namespace
}  // namespace consynth::platform
