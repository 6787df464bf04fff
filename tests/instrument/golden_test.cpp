// The engine must reproduce the reference renders of an independent implementation bit for
// bit: a difference in the last bit means an operation in the wrong precision or order.

#include <gtest/gtest.h>

#include <bit>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "formats/events_file.h"
#include "tests/support/replay.h"
#include "tests/support/wav_compare.h"

namespace consynth {
namespace {

namespace fs = std::filesystem;

// The frame count is on the events file's first line: "# frames: N".
uint64_t framesFromHeader(const fs::path& events) {
  std::ifstream in(events);
  std::string line;
  std::getline(in, line);
  unsigned long long frames = 0;
  return std::sscanf(line.c_str(), "# frames: %llu", &frames) == 1 ? frames : 0;
}

std::string describe(uint32_t bits) {
  char text[64];
  std::snprintf(text, sizeof text, "%.9g (0x%08" PRIx32 ")", std::bit_cast<float>(bits), bits);
  return text;
}

// Every step of the engine is exact, but the double sine comes from the C runtime. Where
// that is not the one the reference renders were made with (Windows), a last-bit
// difference is reported and accepted within the runtime bound; elsewhere it fails.
#ifdef CONSYNTH_RUNTIME_SINE_MAY_DIFFER
constexpr bool kSineAsInReference = false;
#else
constexpr bool kSineAsInReference = true;
#endif

TEST(Golden, RendersMatchReferenceBitForBit) {
  const fs::path dir = CONSYNTH_GOLDEN_DIR;
  ASSERT_TRUE(fs::is_directory(dir)) << "reference renders not found in " << dir;

  int checked = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() != ".events") continue;
    const fs::path events = entry.path();
    SCOPED_TRACE(events.filename().string());

    std::string error;
    const auto expected =
        readWavSampleBits(fs::path(events).replace_extension(".wav").string(), error);
    ASSERT_TRUE(expected) << error;
    const uint64_t frames = framesFromHeader(events);
    ASSERT_GT(frames, 0u) << "no '# frames: N' line";

    std::ifstream in(events);
    const EventsParse parse = parseEvents(in);
    ASSERT_TRUE(parse.ok()) << parse.errorLine << ": " << parse.error;

    const std::vector<uint32_t> actual = replaySampleBits(parse.events, frames);

    const SampleComparison c = compareSamples(*expected, actual);
    ASSERT_TRUE(c.sameLength) << actual.size() << " samples rendered, " << expected->size()
                              << " in the reference";
    if (c.differing > 0) {
      const uint64_t i = c.firstDiffering;
      std::ostringstream report;
      report << c.differing << " of " << c.samples << " samples differ, by up to "
             << c.largestDifference << "; the first at frame " << i / 2
             << (i % 2 ? " right" : " left") << ": rendered " << describe(actual[i])
             << ", reference " << describe((*expected)[i]);
      if (kSineAsInReference) {
        ADD_FAILURE() << report.str();
      } else {
        std::cout << "note: " << report.str() << "\n";
      }
    }
    EXPECT_TRUE(acceptable(c)) << "more than a last-bit difference in sin can explain";
    ++checked;
  }
  EXPECT_GE(checked, 2) << "expected at least the chord and controls renders";
}

}  // namespace
}  // namespace consynth
