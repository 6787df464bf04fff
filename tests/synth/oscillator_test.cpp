// The vector oscillator variants against oscillatorSum with the C library's sine, bit for
// bit. A variant may leave a sum to the library's sine, but every sum it accepts must be
// the library's, and must stay so if the library's sine were one unit in the last place
// higher or lower (the proof allows for that): random, engine-like and extreme phases,
// arguments next to the reduction's limit, special values, and phases whose sum turns on
// the last bit of the library's sine.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "synth/noise_generator.h"
#include "synth/oscillator.h"
#include "synth/oscillator_paths.h"
#include "synth/voice.h"

namespace consynth {
namespace {

constexpr unsigned kLanes = kOscillatorMaxLanes;

uint32_t bits(float v) {
  return std::bit_cast<uint32_t>(v);
}

// The vector variants this processor runs; the portable one computes every sum with the
// library's sine and proves nothing.
std::vector<const OscillatorPath*> vectorPaths() {
  std::vector<const OscillatorPath*> paths;
  for (const OscillatorPath& path : oscillatorPaths()) {
    if (path.supported() && std::string(path.name) != "portable") paths.push_back(&path);
  }
  return paths;
}

// The library's sums, and those of a library sine one unit in the last place up or down.
struct References {
  float library[kLanes];
  float nudgedUp[kLanes];
  float nudgedDown[kLanes];

  References(const double* phases, unsigned count) {
    const auto up = [](double x) { return std::nextafter(std::sin(x), 2.0); };
    const auto down = [](double x) { return std::nextafter(std::sin(x), -2.0); };
    for (unsigned i = 0; i < count; ++i) {
      library[i] = oscillatorSum(phases[i]);
      nudgedUp[i] = oscillatorSum(phases[i], up);
      nudgedDown[i] = oscillatorSum(phases[i], down);
    }
  }
};

struct Tally {
  uint64_t sums = 0;
  uint64_t fallbacks = 0;
};

// Up to kLanes phases through `path`: each accepted sum against all three references, and
// every sum of runOscillator (fallbacks included) against the library's.
testing::AssertionResult check(const OscillatorPath& path, const double* phases, unsigned count,
                               const References& expected, Tally& tally) {
  float sums[kLanes];
  const uint64_t unproven = path.run(phases, sums, count);
  for (unsigned i = 0; i < count; ++i) {
    if ((unproven >> i) & 1) continue;
    const uint32_t got = bits(sums[i]);
    if (got != bits(expected.library[i]) || got != bits(expected.nudgedUp[i]) ||
        got != bits(expected.nudgedDown[i])) {
      return testing::AssertionFailure()
             << path.name << " accepted " << sums[i] << " at phase " << std::hexfloat << phases[i]
             << std::defaultfloat << "; library " << expected.library[i] << ", nudged up "
             << expected.nudgedUp[i] << ", down " << expected.nudgedDown[i];
    }
  }
  OscillatorCounts counts;
  runOscillator(path, phases, sums, count, counts);
  for (unsigned i = 0; i < count; ++i) {
    if (bits(sums[i]) != bits(expected.library[i])) {
      return testing::AssertionFailure() << path.name << " gave " << sums[i] << " at phase "
                                         << std::hexfloat << phases[i] << " after falling back";
    }
  }
  tally.sums += counts.sums;
  tally.fallbacks += counts.fallbacks;
  return testing::AssertionSuccess();
}

// Chunks of phases of several kinds: uniform over a long session, log-uniform up to 1.6e7
// cycles of either sign, uniform up to 1.6e7, and the chord's four voices in engine order
// (real increments and noise draws, re-triggered as each ends).
class PhaseSource {
 public:
  explicit PhaseSource(uint64_t seed) : rng_(seed) {
    for (int v = 0; v < 4; ++v)
      voices_[v] = Voice{};
  }

  void next(double* phases) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    switch (chunk_++ % 4) {
      case 0:
        for (unsigned i = 0; i < kLanes; ++i)
          phases[i] = unit(rng_) * 2e5;
        break;
      case 1:
        for (unsigned i = 0; i < kLanes; ++i) {
          const double magnitude = std::exp(std::log(1e-3) + unit(rng_) * std::log(1.6e10));
          phases[i] = unit(rng_) < 0.5 ? -magnitude : magnitude;
        }
        break;
      case 2:
        for (unsigned i = 0; i < kLanes; ++i)
          phases[i] = unit(rng_) * 1.6e7;
        break;
      default:
        enginePhases(phases);
    }
  }

 private:
  void enginePhases(double* phases) {
    static constexpr int kChordNotes[4] = {36, 52, 55, 59};
    for (unsigned i = 0; i < kLanes; i += 4) {
      for (int v = 0; v < 4; ++v) {
        Voice& voice = voices_[v];
        if (voice.silent()) voice.noteOn(kChordNotes[v], kKeyPatch);
        const float draw = noise_.noiseNextFloat();
        double level;
        voice.advance(1, &draw, &phases[i + v], &level);
      }
    }
  }

  std::mt19937_64 rng_;
  uint64_t chunk_ = 0;
  Voice voices_[4];
  NoiseGenerator noise_;
};

// Checks `chunks` chunks of kLanes phases in every vector variant; returns the tallies.
std::vector<Tally> checkRandomPhases(uint64_t chunks, uint64_t seed) {
  const std::vector<const OscillatorPath*> paths = vectorPaths();
  std::vector<Tally> tallies(paths.size());
  PhaseSource source(seed);
  double phases[kLanes];
  for (uint64_t c = 0; c < chunks; ++c) {
    source.next(phases);
    const References expected(phases, kLanes);
    for (size_t p = 0; p < paths.size(); ++p) {
      const testing::AssertionResult result =
          check(*paths[p], phases, kLanes, expected, tallies[p]);
      if (!result) {
        ADD_FAILURE() << result.message();
        return tallies;
      }
    }
  }
  return tallies;
}

void reportTallies(const std::vector<Tally>& tallies) {
  const std::vector<const OscillatorPath*> paths = vectorPaths();
  for (size_t p = 0; p < paths.size(); ++p) {
    const double perMillion =
        1e6 * static_cast<double>(tallies[p].fallbacks) / static_cast<double>(tallies[p].sums);
    std::cout << paths[p]->name << ": " << tallies[p].sums << " sums, " << tallies[p].fallbacks
              << " fallbacks (" << perMillion << " per million), 0 mismatches\n";
    // Far more than a correct variant needs (about 15 a million), far less than a broken one.
    EXPECT_LT(perMillion, 1000.0) << paths[p]->name;
  }
}

TEST(OscillatorVariants, AcceptOnlyTheLibrarySumsOnRandomPhases) {
  if (vectorPaths().empty()) GTEST_SKIP() << "no vector oscillator on this build or processor";
  reportTallies(checkRandomPhases(30000, 1));
}

// The long run: CONSYNTH_OSCILLATOR_LONG_RUN millions of voice-samples in every variant,
// run by `ctest -L long` and otherwise skipped.
TEST(OscillatorVariants, LongRun) {
  const char* millions = std::getenv("CONSYNTH_OSCILLATOR_LONG_RUN");
  if (!millions) GTEST_SKIP() << "set CONSYNTH_OSCILLATOR_LONG_RUN (millions of voice-samples)";
  if (vectorPaths().empty()) GTEST_SKIP() << "no vector oscillator on this build or processor";
  const uint64_t chunks = static_cast<uint64_t>(std::atof(millions) * 1e6 / kLanes);
  reportTallies(checkRandomPhases(chunks, 2));
}

// Phases whose sum comes out differently when the library's sine is one unit in the last
// place off, found by running random phases through the AVX-512 variant and keeping, of
// the sums it left to the library, those that a nudged sine changes. A variant must leave
// them to the library too; one that accepted them would get some of them wrong.
constexpr double kTurningPhases[] = {
    0x1.7111a4193f6a7p+7,  0x1.85c06320a4af6p+23, 0x1.af650e3fdcd9fp+22, 0x1.5b9c9fe75d2a2p+17,
    0x1.374a530fbc326p+22, 0x1.997eea9a2e22p+22,  0x1.89a96ecd5324fp-5,  0x1.22507940088edp+16,
    0x1.1e482087b5376p+17, 0x1.eb5754f49f52fp+9,  0x1.5931416796932p+16, 0x1.06c2fe91e555cp+19,
    0x1.899641e0bd5eap-5,  0x1.36b27850122a9p+15, 0x1.87b03bd36445bp+19, 0x1.5ce5f38af6732p+7,
    0x1.6288691d8fc57p+13, 0x1.000101e8b1c62p+21, 0x1.7aef905c0337dp+3,  0x1.356d5a30ecd9dp+15,
    0x1.b42b4f1bea8d6p+15, 0x1.48d1ef471d5cdp+23, 0x1.05a3b14f41c2cp+15, 0x1.765908cec94d5p+13,
};

TEST(OscillatorVariants, LeaveSumsThatTurnOnTheLastBitToTheLibrary) {
  // The table was found with the GNU C library's sine, which every vector variant needs.
  if (vectorPaths().empty()) GTEST_SKIP() << "no vector oscillator on this build or processor";
  constexpr unsigned kCount = sizeof kTurningPhases / sizeof kTurningPhases[0];
  const References expected(kTurningPhases, kCount);
  unsigned turning = 0;
  for (unsigned i = 0; i < kCount; ++i) {
    if (expected.nudgedUp[i] != expected.library[i] ||
        expected.nudgedDown[i] != expected.library[i]) {
      ++turning;
    }
  }
  EXPECT_GE(turning, kCount / 2) << "the table no longer fits this library's sine";
  for (const OscillatorPath* path : vectorPaths()) {
    Tally tally;
    EXPECT_TRUE(check(*path, kTurningPhases, kCount, expected, tally));
  }
}

// Phases at which some partial's argument crosses 2^30, where the reduction stops being
// exact; special values; phases that make an argument zero.
std::vector<double> edgePhases() {
  std::vector<double> phases = {
      0.0,           -0.0,    INFINITY, -INFINITY, NAN, 1e300, -1e300, DBL_MAX, DBL_TRUE_MIN,
      -DBL_TRUE_MIN, DBL_MIN, 1.6e7,    -1.6e7,    1e9, 0.5,   -0.5,   1e-300,  4503599627370496.0};
  for (int k = 0; k < kPartialCount; ++k) {
    const double zero = -kPartialOffsets[k];  // the argument of partial k is +-0 here
    phases.push_back(zero);
    phases.push_back(std::nextafter(zero, 0.0));
    phases.push_back(std::nextafter(zero, -1.0));
    const double limit = 0x1p30 / (kPartialRatios[k] * kPiAsWritten * 2.0) - kPartialOffsets[k];
    for (double sign : {1.0, -1.0}) {
      double below = sign * limit;
      double above = below;
      for (int i = 0; i < 200; ++i) {
        phases.push_back(below);
        phases.push_back(above);
        below = std::nextafter(below, 0.0);
        above = std::nextafter(above, sign * INFINITY);
      }
    }
  }
  return phases;
}

TEST(OscillatorVariants, SpecialValuesAndTheArgumentLimit) {
  if (vectorPaths().empty()) GTEST_SKIP() << "no vector oscillator on this build or processor";
  const std::vector<double> phases = edgePhases();
  for (const OscillatorPath* path : vectorPaths()) {
    SCOPED_TRACE(path->name);
    Tally tally;
    for (size_t first = 0; first < phases.size(); first += kLanes) {
      const unsigned count = static_cast<unsigned>(std::min<size_t>(kLanes, phases.size() - first));
      const double* chunk = phases.data() + first;
      const References expected(chunk, count);
      ASSERT_TRUE(check(*path, chunk, count, expected, tally));

      float sums[kLanes];
      const uint64_t unproven = path->run(chunk, sums, count);
      for (unsigned i = 0; i < count; ++i) {
        bool beyond = false;
        for (int k = 0; k < kPartialCount; ++k)
          beyond = beyond || !(std::fabs(partialArgument(chunk[i], k)) < 0x1p30);
        EXPECT_TRUE(!beyond || ((unproven >> i) & 1))
            << "accepted an argument beyond 2^30 at phase " << std::hexfloat << chunk[i];
      }
    }
  }
}

#if defined(__x86_64__)
TEST(OscillatorVariants, ProveNothingOutsideTheDefaultFloatingPointMode) {
  if (vectorPaths().empty()) GTEST_SKIP() << "no vector oscillator on this build or processor";
  double phases[kLanes];
  for (unsigned i = 0; i < kLanes; ++i)
    phases[i] = 100.0 + 7.25 * i;
  const unsigned saved = _mm_getcsr();
  // Round towards zero; flush-to-zero; denormals-are-zero; the overflow trap unmasked.
  for (unsigned mode : {saved | 0x6000u, saved | 0x8000u, saved | 0x0040u, saved & ~0x0400u}) {
    for (const OscillatorPath* path : vectorPaths()) {
      float sums[kLanes];
      _mm_setcsr(mode);
      const uint64_t unproven = path->run(phases, sums, kLanes);
      _mm_setcsr(saved);
      EXPECT_EQ(~uint64_t{0}, unproven) << path->name << " in mode " << std::hex << mode;
    }
  }
}
#endif

TEST(OscillatorPaths, LibraryVersionsCompareByNumberNotText) {
  EXPECT_TRUE(libraryVersionAtLeast("2.28", 2, 28));
  EXPECT_TRUE(libraryVersionAtLeast("2.36", 2, 28));
  EXPECT_TRUE(libraryVersionAtLeast("3.1", 2, 28));
  EXPECT_FALSE(libraryVersionAtLeast("2.27", 2, 28));
  EXPECT_FALSE(libraryVersionAtLeast("2.3", 2, 28));
  EXPECT_FALSE(libraryVersionAtLeast("1.99", 2, 28));
  EXPECT_FALSE(libraryVersionAtLeast("", 2, 28));
  EXPECT_FALSE(libraryVersionAtLeast("stable", 2, 28));
}

}  // namespace
}  // namespace consynth
