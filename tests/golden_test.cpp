// The engine must reproduce the reference renders of an independent implementation bit for
// bit: a difference in the last bit means an operation in the wrong precision or order.

#include <gtest/gtest.h>

#include <bit>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "tests/wav_reader.h"
#include "tools/offline_render.h"

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

std::string describe(float v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.9g (0x%08" PRIx32 ")", v, std::bit_cast<uint32_t>(v));
  return text;
}

TEST(Golden, RendersMatchReferenceBitForBit) {
  const fs::path dir = CONSYNTH_GOLDEN_DIR;
  ASSERT_TRUE(fs::is_directory(dir)) << "reference renders not found in " << dir;

  int checked = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() != ".events") continue;
    const fs::path events = entry.path();
    SCOPED_TRACE(events.filename().string());

    const std::vector<float> expected =
        test::readWavFloats(fs::path(events).replace_extension(".wav").string());
    const uint64_t frames = framesFromHeader(events);
    ASSERT_GT(frames, 0u) << "no '# frames: N' line";
    ASSERT_EQ(expected.size(), 2 * frames);

    std::ifstream in(events);
    const EventsParse parse = parseEvents(in);
    ASSERT_TRUE(parse.ok()) << parse.errorLine << ": " << parse.error;

    auto mixer = std::make_unique<FrameMixer>();
    std::vector<float> actual;
    renderEvents(*mixer, parse.events, frames, [&](const float* samples, uint32_t count) {
      actual.insert(actual.end(), samples, samples + 2 * count);
    });
    ASSERT_EQ(actual.size(), expected.size());

    for (size_t i = 0; i < actual.size(); ++i) {
      if (std::bit_cast<uint32_t>(actual[i]) != std::bit_cast<uint32_t>(expected[i])) {
        FAIL() << "first difference at frame " << i / 2 << (i % 2 ? " right" : " left")
               << ": rendered " << describe(actual[i]) << ", reference " << describe(expected[i]);
      }
    }
    ++checked;
  }
  EXPECT_GE(checked, 2) << "expected at least the chord and controls renders";
}

}  // namespace
}  // namespace consynth
