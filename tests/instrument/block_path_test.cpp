// The block paths (FrameMixer::renderFrames with every oscillator variant, Reverb::
// processBlock in every compiled variant, Voice::resting) against the plain per-frame
// algorithm, bit for bit, from randomised states: ordinary values, subnormal-heavy lines,
// write indices left beyond a line's length by a switch to a shorter delay set, voices
// starting and ending anywhere inside a block, and blocks of every size.

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "instrument/best_paths.h"
#include "instrument/frame_mixer.h"
#include "reverb/reverb_block_paths.h"
#include "synth/oscillator_paths.h"

namespace consynth {
namespace {

// The longest delay in use; samples beyond it are never touched.
constexpr uint32_t kLineSpan = 9949;

uint32_t bits(float v) {
  return std::bit_cast<uint32_t>(v);
}

uint64_t bits(double v) {
  return std::bit_cast<uint64_t>(v);
}

// Field by field: a Voice has padding bytes, which a copy need not keep.
void expectSameVoice(const Voice& e, const Voice& a, int v) {
  ASSERT_EQ(bits(e.phase), bits(a.phase)) << "voice " << v;
  ASSERT_EQ(bits(e.increment), bits(a.increment)) << "voice " << v;
  ASSERT_EQ(e.counter, a.counter) << "voice " << v;
  ASSERT_EQ(bits(e.level), bits(a.level)) << "voice " << v;
  for (int s = 0; s < 4; ++s) {
    ASSERT_EQ(e.segmentLengths[s], a.segmentLengths[s]) << "voice " << v;
    ASSERT_EQ(bits(e.segmentRates[s]), bits(a.segmentRates[s])) << "voice " << v;
  }
  ASSERT_EQ(bits(e.filterMemory), bits(a.filterMemory)) << "voice " << v;
  ASSERT_EQ(e.patch, a.patch) << "voice " << v;
}

void expectSameNoise(const NoiseGenerator& e, const NoiseGenerator& a) {
  ASSERT_EQ(e.s0, a.s0);
  ASSERT_EQ(e.s1, a.s1);
  ASSERT_EQ(e.s2, a.s2);
}

enum class Values { Ordinary, Subnormal, Mixed };

// Random sample values; subnormals are integer multiples of the smallest one.
float randomValue(std::mt19937& rng, Values kind) {
  std::uniform_real_distribution<float> ordinary(-1.5f, 1.5f);
  std::uniform_int_distribution<int32_t> subnormal(-(1 << 23) + 1, (1 << 23) - 1);
  const int pick = std::uniform_int_distribution<int>(0, 9)(rng);
  if (pick == 0) return 0.0f;
  if (pick == 1) return -0.0f;
  const bool tiny = kind == Values::Subnormal || (kind == Values::Mixed && pick < 6);
  if (!tiny) return ordinary(rng);
  const int32_t steps = subnormal(rng) >> std::uniform_int_distribution<int>(0, 22)(rng);
  return static_cast<float>(steps) * FLT_TRUE_MIN;
}

void randomiseReverb(Reverb& reverb, std::mt19937& rng, Values kind) {
  for (int k = 0; k < Reverb::kLineCount; ++k) {
    DelayLine& line = reverb.lines[k];
    for (uint32_t i = 0; i < kLineSpan; ++i)
      line.samples[i] = randomValue(rng, kind);
    // Comb indices anywhere below the longest delay, as a type switch can leave them.
    const uint32_t limit = k < Reverb::kCombCount ? kLineSpan : kDiffuserLengths[k - 4];
    line.writeIndex = std::uniform_int_distribution<uint32_t>(0, limit - 1)(rng);
    line.length = 0;
  }
}

void expectSameReverb(const Reverb& expected, const Reverb& actual) {
  for (int k = 0; k < Reverb::kLineCount; ++k) {
    const DelayLine& e = expected.lines[k];
    const DelayLine& a = actual.lines[k];
    ASSERT_EQ(e.length, a.length) << "line " << k;
    ASSERT_EQ(e.writeIndex, a.writeIndex) << "line " << k;
    ASSERT_EQ(0, std::memcmp(e.samples, a.samples, sizeof e.samples)) << "line " << k;
  }
}

Reverb gExpectedReverb;
Reverb gActualReverb;

class ReverbBlockPathTest : public testing::TestWithParam<ReverbBlockPath> {};

}  // namespace

// Names the variant in test output instead of dumping its bytes.
void PrintTo(const ReverbBlockPath& path, std::ostream* out) {
  *out << path.name;
}

namespace {

TEST_P(ReverbBlockPathTest, MatchesPerSampleProcessFromRandomStates) {
  const ReverbBlockPath& path = GetParam();
  if (!path.supported()) GTEST_SKIP() << path.name << " is not supported here";
  std::mt19937 rng(4);
  for (int trial = 0; trial < 60; ++trial) {
    const Values kind = static_cast<Values>(trial % 3);
    randomiseReverb(gExpectedReverb, rng, kind);
    gActualReverb = gExpectedReverb;
    const int channel = trial % 2;
    int lpfnum = std::uniform_int_distribution<int>(0, 31)(rng);
    int type = std::uniform_int_distribution<int>(0, 3)(rng);

    // Several blocks in a row, stepping the controls between some of them.
    for (int block = 0; block < 12; ++block) {
      const unsigned frames =
          std::uniform_int_distribution<unsigned>(1, Reverb::kMaxBlockFrames)(rng);
      float x[Reverb::kMaxBlockFrames];
      for (unsigned f = 0; f < frames; ++f)
        x[f] = randomValue(rng, kind);
      float expected[Reverb::kMaxBlockFrames];
      float actual[Reverb::kMaxBlockFrames];
      for (unsigned f = 0; f < frames; ++f) {
        expected[f] = gExpectedReverb.process(x[f], type, channel, lpfnum);
      }
      path.run(gActualReverb, x, actual, frames, type, channel, lpfnum);
      for (unsigned f = 0; f < frames; ++f) {
        ASSERT_EQ(bits(expected[f]), bits(actual[f]))
            << path.name << " trial " << trial << " block " << block << " frame " << f << " type "
            << type << " lpfnum " << lpfnum;
      }
      expectSameReverb(gExpectedReverb, gActualReverb);
      if (block % 3 == 2) type = (type + 1) % 4;
      if (block % 4 == 3) lpfnum = (lpfnum + 7) % 32;
    }
  }
}

TEST_P(ReverbBlockPathTest, SwitchToShorterSetWritesBeyondNewLengthFirst) {
  const ReverbBlockPath& path = GetParam();
  if (!path.supported()) GTEST_SKIP() << path.name << " is not supported here";
  std::mt19937 rng(7);
  randomiseReverb(gExpectedReverb, rng, Values::Mixed);
  // Type 3 left lines 0..2 are longer than type 0's; put every index at its longest.
  for (int k = 0; k < Reverb::kCombCount; ++k) {
    gExpectedReverb.lines[k].writeIndex = kCombLengths[3][k] - 1;
  }
  gActualReverb = gExpectedReverb;
  float x[Reverb::kMaxBlockFrames];
  float expected[Reverb::kMaxBlockFrames];
  float actual[Reverb::kMaxBlockFrames];
  for (float& v : x)
    v = randomValue(rng, Values::Mixed);
  for (unsigned f = 0; f < Reverb::kMaxBlockFrames; ++f) {
    expected[f] = gExpectedReverb.process(x[f], 0, 0, 31);
  }
  path.run(gActualReverb, x, actual, Reverb::kMaxBlockFrames, 0, 0, 31);
  for (unsigned f = 0; f < Reverb::kMaxBlockFrames; ++f) {
    ASSERT_EQ(bits(expected[f]), bits(actual[f])) << path.name << " frame " << f;
  }
  expectSameReverb(gExpectedReverb, gActualReverb);
}

INSTANTIATE_TEST_SUITE_P(AllVariants, ReverbBlockPathTest,
                         testing::ValuesIn(reverbBlockPaths().begin(), reverbBlockPaths().end()),
                         [](const testing::TestParamInfo<ReverbBlockPath>& info) {
                           return std::string(info.param.name);
                         });

TEST(ReverbBlockPaths, PortableVariantIsAlwaysBuiltAndTheBestIsSupported) {
  ASSERT_FALSE(reverbBlockPaths().empty());
  EXPECT_STREQ("portable", reverbBlockPaths()[0].name);
  EXPECT_TRUE(bestReverbBlockPath().supported());
}

TEST(VoiceResting, OnlyOnceTheTailRepeatsItselfAndThenForEver) {
  Voice voice{};
  EXPECT_TRUE(voice.resting()) << "a voice never triggered outputs 0.0 for ever";
  voice.noteOn(40, kKeyPatch);
  EXPECT_FALSE(voice.resting());
  NoiseGenerator noise;
  float out[2];
  int tailSamples = 0;
  while (!voice.resting()) {
    const bool wasSilent = voice.silent();
    voice.render(out, noise);
    if (wasSilent) ++tailSamples;
  }
  // The tail decays by 0.999 a sample from about 0.1 to its subnormal floor.
  EXPECT_GT(tailSamples, 80000);
  EXPECT_EQ(500 * FLT_TRUE_MIN, std::fabs(voice.restingOutput()));

  const NoiseGenerator noiseBefore = noise;
  for (int i = 0; i < 1000; ++i) {
    voice.render(out, noise);
    ASSERT_EQ(bits(voice.restingOutput()), bits(out[0]));
    ASSERT_TRUE(voice.resting());
  }
  expectSameNoise(noiseBefore, noise);
}

// A fresh mixer to copy from: a temporary of several megabytes would not fit the stack.
const FrameMixer gFreshMixer{};
FrameMixer gExpectedMixer;
FrameMixer gActualMixer;

void expectSameMixer(const FrameMixer& expected, const FrameMixer& actual) {
  for (int v = 0; v < kVoiceCount; ++v)
    expectSameVoice(expected.voices[v], actual.voices[v], v);
  expectSameNoise(expected.noise, actual.noise);
  ASSERT_EQ(expected.lpfnum, actual.lpfnum);
  ASSERT_EQ(expected.type, actual.type);
  for (int c = 0; c < 2; ++c)
    expectSameReverb(expected.reverbs[c], actual.reverbs[c]);
}

// Runs one random session on both mixers: note-ons between calls, keys at call starts,
// calls of every length, including buffers longer than one block.
void playRandomSession(std::mt19937& rng, int calls) {
  std::vector<float> expected(2 * 1500);
  std::vector<float> actual(2 * 1500);
  bool bypass = false;
  for (int call = 0; call < calls; ++call) {
    const int roll = std::uniform_int_distribution<int>(0, 19)(rng);
    if (roll < 3) {
      const int voice = std::uniform_int_distribution<int>(0, kVoiceCount - 1)(rng);
      const int note = std::uniform_int_distribution<int>(-5, 90)(rng);
      const uint32_t patch = roll == 0 ? static_cast<uint32_t>(rng()) : kKeyPatch;
      gExpectedMixer.voices[voice].noteOn(note, patch);
      gActualMixer.voices[voice].noteOn(note, patch);
    }
    FrameKeys keys;
    keys.upPressed = roll == 5 || roll == 6;
    keys.downPressed = roll == 6 || roll == 7;
    if (roll == 8) bypass = !bypass;
    keys.bypass = bypass;

    const unsigned frames = std::uniform_int_distribution<unsigned>(0, 1500)(rng);
    FrameKeys later = keys;
    later.upPressed = later.downPressed = false;
    for (unsigned f = 0; f < frames; ++f) {
      gExpectedMixer.renderFrame(f == 0 ? keys : later, expected.data() + 2 * f);
    }
    gActualMixer.renderFrames(keys, actual.data(), frames);
    for (unsigned i = 0; i < 2 * frames; ++i) {
      ASSERT_EQ(bits(expected[i]), bits(actual[i])) << "call " << call << " sample " << i;
    }
  }
  expectSameMixer(gExpectedMixer, gActualMixer);
}

TEST(FrameMixerRenderFrames, MatchesRenderFrameOverRandomSessions) {
  std::mt19937 rng(2);
  gExpectedMixer = gFreshMixer;
  gActualMixer = gFreshMixer;
  playRandomSession(rng, 300);
}

TEST(FrameMixerRenderFrames, MatchesRenderFrameFromSubnormalTailsAndLines) {
  std::mt19937 rng(3);
  gExpectedMixer = gFreshMixer;
  gExpectedMixer.lpfnum = 31;
  gExpectedMixer.type = 3;
  for (Reverb& reverb : gExpectedMixer.reverbs)
    randomiseReverb(reverb, rng, Values::Subnormal);
  // Voice tails a little above, at and below their floor.
  for (int v = 0; v < kVoiceCount; ++v) {
    gExpectedMixer.voices[v].filterMemory = (v % 2 ? -1.0 : 1.0) * (300 + 60 * v) * FLT_TRUE_MIN;
  }
  gActualMixer = gExpectedMixer;
  playRandomSession(rng, 100);
}

class OscillatorBlockPathTest : public testing::TestWithParam<OscillatorPath> {};

}  // namespace

void PrintTo(const OscillatorPath& path, std::ostream* out) {
  *out << path.name;
}

namespace {

// Several voices at once with short envelopes, re-triggered, ending anywhere inside a
// block, some with the oscillator off, from phases far into a session.
TEST_P(OscillatorBlockPathTest, VoicesStartingAndEndingInsideBlocksMatchRenderFrame) {
  const OscillatorPath& path = GetParam();
  if (!path.supported()) GTEST_SKIP() << path.name << " is not supported here";
  std::mt19937 rng(5);
  gExpectedMixer = gFreshMixer;
  gExpectedMixer.lpfnum = std::uniform_int_distribution<int>(0, 31)(rng);
  gExpectedMixer.type = std::uniform_int_distribution<int>(0, 3)(rng);
  for (Voice& voice : gExpectedMixer.voices)
    voice.phase = std::uniform_real_distribution<double>(-1.0, 2e5)(rng);
  gActualMixer = gExpectedMixer;
  gActualMixer.oscillatorPath = &path;

  std::vector<float> expected(2 * 300);
  std::vector<float> actual(2 * 300);
  int ended = 0;  // voice-calls after which a voice's envelope had run out
  for (int call = 0; call < 600; ++call) {
    // About one note-on a voice every 6,000 frames: most envelopes run out, some are cut.
    const int triggers = rng() % 8 == 0 ? std::uniform_int_distribution<int>(1, 3)(rng) : 0;
    for (int t = 0; t < triggers; ++t) {
      const int voice = std::uniform_int_distribution<int>(0, kVoiceCount - 1)(rng);
      const int note = std::uniform_int_distribution<int>(-5, 120)(rng);
      // Attack, decay, sustain and release codes 0 or 1: 4,644 to 11,610 frames.
      uint32_t patch = rng() & 0x11110000u;
      if (rng() % 8 != 0) patch |= 1u;  // mostly with the oscillator on
      gExpectedMixer.voices[voice].noteOn(note, patch);
      gActualMixer.voices[voice].noteOn(note, patch);
    }
    const unsigned frames = std::uniform_int_distribution<unsigned>(1, 300)(rng);
    const FrameKeys keys;
    for (unsigned f = 0; f < frames; ++f)
      gExpectedMixer.renderFrame(keys, expected.data() + 2 * f);
    gActualMixer.renderFrames(keys, actual.data(), frames);
    for (unsigned i = 0; i < 2 * frames; ++i) {
      ASSERT_EQ(bits(expected[i]), bits(actual[i])) << "call " << call << " sample " << i;
    }
    expectSameMixer(gExpectedMixer, gActualMixer);
    for (const Voice& voice : gActualMixer.voices)
      ended += voice.counter == voice.segmentLengths[0] + voice.segmentLengths[1] +
                                    voice.segmentLengths[2] + voice.segmentLengths[3] + 1;
  }
  EXPECT_GT(ended, 20) << "too few envelopes ran out";
}

INSTANTIATE_TEST_SUITE_P(AllVariants, OscillatorBlockPathTest,
                         testing::ValuesIn(oscillatorPaths().begin(), oscillatorPaths().end()),
                         [](const testing::TestParamInfo<OscillatorPath>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace consynth
