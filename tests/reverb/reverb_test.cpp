// The reverb of one channel, sample by sample: what its combs and diffusers make of an
// impulse, and how a switch of delay set finds its lines.

#include <gtest/gtest.h>

#include <memory>

#include "reverb/reverb.h"

namespace consynth {
namespace {

// Reverbs are several megabytes: keep them off the stack, zeroed as at program start.
std::unique_ptr<Reverb> zeroReverb() {
  return std::make_unique<Reverb>();
}

TEST(Reverb, SilenceInSilenceOut) {
  auto reverb = zeroReverb();
  for (int i = 0; i < 20000; ++i)
    ASSERT_EQ(reverb->process(0.0f, i % 4, i % 2, i % 32), 0.0f);
}

TEST(Reverb, FirstImpulseThroughCombsAndDiffusers) {
  auto reverb = zeroReverb();
  const float y = reverb->process(1.0f, 0, 0, 4);
  // Each comb passes v = 1 and stores its gain; the sum 4 enters the first diffuser, which
  // stores 4 and passes -2.8; the second stores that and passes 1.96; plus a tenth dry.
  for (int k = 0; k < 4; ++k)
    EXPECT_EQ(reverb->lines[k].samples[0], kCombGains[k]);
  EXPECT_EQ(reverb->lines[4].samples[0], 4.0f);
  EXPECT_FLOAT_EQ(reverb->lines[5].samples[0], -2.8f);
  EXPECT_FLOAT_EQ(y, 1.03f);
  const uint32_t lengths[6] = {2063, 1847, 1523, 1277, 353, 127};
  for (int k = 0; k < 6; ++k) {
    EXPECT_EQ(reverb->lines[k].length, lengths[k]);
    EXPECT_EQ(reverb->lines[k].writeIndex, 1u);
  }
}

TEST(Reverb, CombsAverageTheirOldestTaps) {
  // One tap: a plain feedback comb, the impulse returns after exactly N samples.
  auto plain = zeroReverb();
  constexpr uint32_t n = 2063;  // line 0, left, type 0
  plain->process(1.0f, 0, 0, 0);
  for (uint32_t t = 1; t < n; ++t)
    plain->process(0.0f, 0, 0, 0);
  EXPECT_EQ(plain->lines[0].samples[n - 1], 0.0f);
  plain->process(0.0f, 0, 0, 0);  // write index back at 0: reads the impulse
  EXPECT_EQ(plain->lines[0].samples[0], kCombGains[0] * kCombGains[0]);

  // 32 taps: the impulse enters the mean 31 samples early, weighted 1/32.
  auto dark = zeroReverb();
  dark->process(1.0f, 0, 0, 31);
  for (uint32_t t = 1; t < n - 31; ++t)
    dark->process(0.0f, 0, 0, 31);
  EXPECT_EQ(dark->lines[0].samples[n - 32], 0.0f);
  dark->process(0.0f, 0, 0, 31);
  EXPECT_EQ(dark->lines[0].samples[n - 31], kCombGains[0] * (kCombGains[0] / 32.0f));
}

TEST(Reverb, ShorterDelaySetWritesAtTheOldIndexThenWraps) {
  auto reverb = zeroReverb();
  for (int t = 0; t < 5000; ++t)
    reverb->process(t == 0 ? 1.0f : 0.0f, 3, 1, 4);
  ASSERT_EQ(reverb->lines[0].writeIndex, 5000u);  // beyond every type-0 length
  reverb->process(0.5f, 0, 1, 4);
  EXPECT_NE(reverb->lines[0].samples[5000], 0.0f);  // the write went to the stored index
  EXPECT_EQ(reverb->lines[0].writeIndex, 5001u % 2053u);
  EXPECT_EQ(reverb->lines[0].length, 2053u);
  // Samples beyond the short length stay and serve the long set again later.
  EXPECT_EQ(reverb->lines[0].samples[0], kCombGains[0]);
}

TEST(Reverb, LargeValuesAreNotClamped) {
  auto reverb = zeroReverb();
  EXPECT_GT(reverb->process(1000.0f, 0, 0, 4), 1000.0f);
}

}  // namespace
}  // namespace consynth
