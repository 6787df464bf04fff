#include <gtest/gtest.h>

#include <bit>
#include <climits>
#include <cmath>
#include <cstdint>

#include "synth/noise_generator.h"
#include "synth/voice.h"

namespace consynth {
namespace {

constexpr double kSampleRate = 44100.0;
constexpr int kKeyPatchLength = 23220;  // 1161 + 5805 + 1161 + 15093

// A voice as the engine holds it before its first note: all zero.
Voice freshVoice() {
  return Voice{};
}

float renderOne(Voice& voice, NoiseGenerator& noise) {
  float out[2] = {0.0f, 0.0f};
  voice.render(out, noise);
  EXPECT_EQ(std::bit_cast<uint32_t>(out[0]), std::bit_cast<uint32_t>(out[1]));
  return out[0];
}

TEST(NoiseGenerator, StartsWithTheKnownSequence) {
  NoiseGenerator noise;
  const int expected[] = {3, 20, 55, 127, 292};
  for (int value : expected) {
    EXPECT_EQ(noise.noiseNextFloat(), static_cast<float>(value) / 32768.0f);
  }
  NoiseGenerator again;
  EXPECT_EQ(again.noiseNextFloat(), 9.1552734375e-05f);
}

TEST(NoiseGenerator, WrapsAtThirtyTwoBitsAndStaysInRange) {
  NoiseGenerator noise;
  for (int i = 0; i < 1000000; ++i) {
    const float n = noise.noiseNextFloat();
    ASSERT_GE(n, -1.0f);
    ASSERT_LT(n, 1.0f);
  }
}

TEST(Voice, NeverTriggeredIsExactlySilentAndDrawsNoNoise) {
  Voice voice = freshVoice();
  NoiseGenerator noise;
  for (int i = 0; i < 1000; ++i)
    ASSERT_EQ(std::bit_cast<uint32_t>(renderOne(voice, noise)), 0u);
  EXPECT_EQ(noise.s0, 1);  // untouched
  EXPECT_EQ(noise.s1, 234567);
}

TEST(Voice, PitchFollowsTheNoteNumber) {
  Voice voice = freshVoice();
  voice.noteOn(0, kKeyPatch);
  const double base = voice.increment;
  EXPECT_EQ(base, 0.00014534584401074233);
  for (int note : {-1, -12, INT_MIN}) {
    voice.noteOn(note, kKeyPatch);
    EXPECT_EQ(voice.increment, base) << note;
  }
  voice.noteOn(36, kKeyPatch);
  EXPECT_NEAR(voice.increment * kSampleRate, 51.28, 0.01);
  voice.noteOn(59, kKeyPatch);
  EXPECT_NEAR(voice.increment * kSampleRate, 193.6, 0.05);
  voice.noteOn(71, kKeyPatch);  // one octave up, up to the rounding of twelve multiplications
  EXPECT_NEAR(voice.increment * kSampleRate, 387.2, 0.1);
}

TEST(Voice, PitchIsLimitedOnlyAboveTheHighestNote) {
  // Every note up to the limit is reached by one multiplication per semitone; notes above
  // it play at the limit.
  Voice voice = freshVoice();
  double expected = 0.00014534584401074233;
  for (int note = 1; note <= kMaxNote; ++note) {
    expected *= 1.0594630943592953;
    voice.noteOn(note, kKeyPatch);
    ASSERT_EQ(voice.increment, expected) << note;
  }
  for (int note : {kMaxNote + 1, 12409, 12441, INT_MAX}) {
    voice.noteOn(note, kKeyPatch);
    EXPECT_EQ(voice.increment, expected) << note;
  }
}

TEST(Voice, ExtremeNotesKeepTheVoiceFinite) {
  // Without a limit, these notes overflow the oscillator argument or the increment itself,
  // and the voice would carry infinities into every later note.
  for (int note : {12409, 12441, INT_MAX}) {
    Voice voice = freshVoice();
    NoiseGenerator noise;
    voice.noteOn(note, kKeyPatch);
    for (int i = 0; i < 30000; ++i)
      ASSERT_TRUE(std::isfinite(renderOne(voice, noise))) << note;
    voice.noteOn(36, kKeyPatch);
    for (int i = 0; i < 30000; ++i)
      ASSERT_TRUE(std::isfinite(renderOne(voice, noise))) << note;
    EXPECT_TRUE(std::isfinite(voice.phase));
    EXPECT_TRUE(std::isfinite(voice.filterMemory));
  }
}

TEST(Voice, KeyPatchEnvelopeRunsItsCourseAndEnds) {
  Voice voice = freshVoice();
  NoiseGenerator noise;
  voice.noteOn(36, kKeyPatch);
  EXPECT_EQ(voice.segmentLengths[0], 1161);
  EXPECT_EQ(voice.segmentLengths[1], 5805);
  EXPECT_EQ(voice.segmentLengths[2], 1161);
  EXPECT_EQ(voice.segmentLengths[3], 15093);

  renderOne(voice, noise);
  EXPECT_EQ(voice.level, 1.0 / 1161.0);  // the level rises before it scales the first sample

  for (int i = 1; i < kKeyPatchLength; ++i)
    renderOne(voice, noise);
  EXPECT_GT(voice.increment, 0.0);
  EXPECT_NEAR(voice.level, 0.0, 1e-9);  // the release has fallen all the way

  // One more sample ends the voice: no pitch, no level, one count past the envelope.
  renderOne(voice, noise);
  EXPECT_EQ(voice.increment, 0.0);
  EXPECT_EQ(voice.level, 0.0);
  EXPECT_EQ(voice.counter, kKeyPatchLength + 1);
  EXPECT_TRUE(voice.silent());

  // From then on the noise stream is left alone.
  const NoiseGenerator before = noise;
  renderOne(voice, noise);
  EXPECT_EQ(noise.s0, before.s0);
}

TEST(Voice, EndedTailSettlesOnTheSubnormalFloor) {
  // With subnormals kept, single(0.999 * m) stops shrinking at 500 * 2^-149.
  Voice voice = freshVoice();
  NoiseGenerator noise;
  voice.noteOn(52, kKeyPatch);
  float last = 0.0f;
  for (int i = 0; i < kKeyPatchLength + 200000; ++i)
    last = renderOne(voice, noise);
  const float floor = std::ldexp(500.0f, -149);
  EXPECT_EQ(std::fabs(last), floor);
  for (int i = 0; i < 1000; ++i)
    ASSERT_EQ(renderOne(voice, noise), last);
}

TEST(Voice, OscillatorOffRunsTheEnvelopeSilently) {
  Voice voice = freshVoice();
  NoiseGenerator noise;
  voice.noteOn(36, kKeyPatch & ~1u);
  for (int i = 0; i < 100; ++i)
    ASSERT_EQ(renderOne(voice, noise), 0.0f);
  NoiseGenerator reference;  // one draw per sample while the envelope runs
  for (int i = 0; i < 100; ++i)
    reference.noiseNextFloat();
  EXPECT_EQ(noise.s0, reference.s0);
  EXPECT_EQ(noise.s2, reference.s2);
}

TEST(Voice, RetriggerKeepsPhaseAndFilterAndRestartsTheEnvelope) {
  Voice voice = freshVoice();
  NoiseGenerator noise;
  voice.noteOn(36, kKeyPatch);
  for (int i = 0; i < 3000; ++i)
    renderOne(voice, noise);
  const double phase = voice.phase;
  const double memory = voice.filterMemory;
  voice.noteOn(40, kKeyPatch);
  EXPECT_EQ(voice.phase, phase);
  EXPECT_EQ(voice.filterMemory, memory);
  EXPECT_EQ(voice.counter, 0);
  EXPECT_EQ(voice.level, 0.0);
  // At level 1/1161 the filter leans almost wholly on its memory: no jump.
  const float next = renderOne(voice, noise);
  EXPECT_NEAR(next, memory * 0.999, 1e-3);
}

TEST(Voice, PatchCodesSetTheSegmentLengths) {
  Voice voice = freshVoice();
  voice.noteOn(0, 0xFFFF0001u);
  EXPECT_EQ(voice.segmentLengths[0], 16 * 1161);
  EXPECT_EQ(voice.segmentLengths[1], 15 * 2322 + 1161);
  EXPECT_EQ(voice.segmentLengths[2], 15 * 3483 + 1161);
  EXPECT_EQ(voice.segmentLengths[3], 15 * 3483 + 1161);
  EXPECT_EQ(voice.segmentRates[2], 0.0);
  EXPECT_EQ(voice.segmentRates[3], -0.5 / (15 * 3483 + 1161));
}

}  // namespace
}  // namespace consynth
