#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <memory>

#include "instrument/frame_mixer.h"

namespace consynth {
namespace {

class FrameMixerTest : public ::testing::Test {
 protected:
  std::unique_ptr<FrameMixer> mixer = std::make_unique<FrameMixer>();

  void frame(const FrameKeys& keys, float out[2]) { mixer->renderFrame(keys, out); }
};

TEST_F(FrameMixerTest, IdleFromStartIsExactlyZero) {
  float out[2];
  for (int i = 0; i < 10000; ++i) {
    frame({}, out);
    ASSERT_EQ(std::bit_cast<uint64_t>(out), 0u);
  }
}

TEST_F(FrameMixerTest, UpAndDownStepAndWrapTheirControls) {
  float out[2];
  int seen[29];
  seen[0] = mixer->lpfnum;
  for (int i = 1; i <= 28; ++i) {
    frame({.upPressed = true}, out);
    seen[i] = mixer->lpfnum;
  }
  EXPECT_EQ(seen[0], 4);
  EXPECT_EQ(seen[27], 31);
  EXPECT_EQ(seen[28], 0);

  const int types[] = {1, 2, 3, 0, 1};
  for (int expected : types) {
    frame({.downPressed = true}, out);
    EXPECT_EQ(mixer->type, expected);
  }
  // The controls step while the reverb is bypassed too.
  frame({.upPressed = true, .downPressed = true, .bypass = true}, out);
  EXPECT_EQ(mixer->lpfnum, 1);
  EXPECT_EQ(mixer->type, 2);
}

TEST_F(FrameMixerTest, BypassPassesTheDryMixAndFreezesTheReverbs) {
  float out[2];
  mixer->voices[0].noteOn(36, kKeyPatch);
  mixer->voices[3].noteOn(59, kKeyPatch);
  for (int i = 0; i < 3000; ++i)
    frame({}, out);

  auto frozen = std::make_unique<FrameMixer>(*mixer);
  for (int i = 0; i < 2000; ++i) {
    // The dry mix is each voice's sample halved, summed in voice order.
    NoiseGenerator noise = mixer->noise;
    float dry = 0.0f;
    for (Voice v : mixer->voices) {
      float vo[2] = {0.0f, 0.0f};
      v.render(vo, noise);
      dry = vo[0] * 0.5f + dry;
    }
    frame({.bypass = true}, out);
    ASSERT_EQ(out[0], dry);
    ASSERT_EQ(out[1], dry);
  }
  EXPECT_EQ(std::memcmp(mixer->reverbs, frozen->reverbs, sizeof mixer->reverbs), 0);

  // On release the reverbs continue from where they stopped.
  frame({}, out);
  EXPECT_NE(std::memcmp(mixer->reverbs, frozen->reverbs, sizeof mixer->reverbs), 0);
}

TEST_F(FrameMixerTest, ChannelsDifferOnlyThroughTheirDelaySets) {
  float out[2];
  mixer->voices[1].noteOn(52, kKeyPatch);
  bool differ = false;
  for (int i = 0; i < 5000; ++i) {
    frame({}, out);
    differ = differ || out[0] != out[1];
  }
  EXPECT_TRUE(differ);
}

}  // namespace
}  // namespace consynth
