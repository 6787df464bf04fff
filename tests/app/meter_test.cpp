// The --meter line: what it shows of a reading, and how the panel turns the render thread's
// buffers into readings.

#include "app/meter.h"

#include <gtest/gtest.h>

#include <vector>

namespace consynth {
namespace {

using namespace std::chrono_literals;

size_t codePoints(const std::string& text) {
  size_t count = 0;
  for (const char c : text)
    count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return count;
}

// The bar spans -40 to 0 dB in 20 cells of 2 dB, each in eighths; never more than the level.
TEST(Meter, TheLineShowsTheControlsTheLevelAndClipping) {
  struct Case {
    MeterReading reading;
    const char* line;
  };
  const Case cases[] = {
      {{.lpfnum = 4, .type = 0, .peak = 0.0f, .ring = {}},
       "\rLPF  4  Type 0  Reverb on   ░░░░░░░░░░░░░░░░░░░░   -inf dB       512x6 58.0 ms"},
      {{.lpfnum = 31, .type = 3, .bypass = true, .peak = 0.1f, .ring = {}},
       "\rLPF 31  Type 3  Reverb off  ██████████░░░░░░░░░░  -20.0 dB       512x6 58.0 ms"},
      {{.lpfnum = 4, .type = 1, .peak = 0.5f, .ring = {}},  // -6.02 dB: 135.9 eighths
       "\rLPF  4  Type 1  Reverb on   ████████████████▉░░░   -6.0 dB       512x6 58.0 ms"},
      {{.lpfnum = 4, .type = 1, .peak = 0.0104f, .ring = {}},  // -39.66 dB: 1.4 eighths
       "\rLPF  4  Type 1  Reverb on   ▏░░░░░░░░░░░░░░░░░░░  -39.7 dB       512x6 58.0 ms"},
      {{.lpfnum = 0, .type = 2, .peak = 1.0f, .clipped = true, .ring = {}},
       "\rLPF  0  Type 2  Reverb on   ████████████████████   +0.0 dB CLIP  512x6 58.0 ms"},
      {{.lpfnum = 0, .type = 2, .peak = 3.27f, .clipped = true, .ring = {64, 3}},
       "\rLPF  0  Type 2  Reverb on   ████████████████████  +10.3 dB CLIP   64x3  2.9 ms"},
      {{.lpfnum = 0, .type = 2, .peak = 1e-6f, .ring = {}},
       "\rLPF  0  Type 2  Reverb on   "
       "░░░░░░░░░░░░░░░░░░░░  <-100 dB       512x6 58.0 ms"},
  };
  for (const Case& c : cases) {
    const std::string line = meterLine(c.reading);
    EXPECT_EQ(line, c.line) << c.reading.peak;
    // Drawn over the last one, so each is as wide as any other.
    EXPECT_EQ(codePoints(line), codePoints(cases[0].line)) << line;
  }
}

// The meter shows what leaves for the device: the peak of the buffers since the last line,
// times the gain; a clip stays on the line for a second.
TEST(Meter, ShowsThePeakAfterTheGainAndHoldsAClipForASecond) {
  const std::vector<float> loud = {0.1f, -2.0f, 0.5f, 1.5f};
  const std::vector<float> soft = {0.25f, -0.125f};
  struct Step {
    double gain;
    std::vector<const std::vector<float>*> buffers;
    std::chrono::milliseconds at;
    const char* level;
    bool clip;
  };
  const Step steps[][3] = {
      {{1.0, {&soft, &loud, &soft}, 0ms, "+6.0 dB", true},
       {1.0, {&soft}, 900ms, "-12.0 dB", true},
       {1.0, {}, 1100ms, "-inf dB", false}},
      {{0.25, {&loud}, 0ms, "-6.0 dB", false},
       {0.25, {&soft}, 100ms, "-24.1 dB", false},
       {0.25, {&loud, &loud}, 200ms, "-6.0 dB", false}},
  };
  const auto start = Meter::Clock::now();
  for (const auto& run : steps) {
    Meter meter(run[0].gain);
    const RenderPanel panel = meter.panel();
    for (const Step& step : run) {
      for (const std::vector<float>* buffer : step.buffers)
        panel.showLevels(panel.context, buffer->data(), static_cast<unsigned>(buffer->size() / 2));
      const std::string line = meter.line(start + step.at);
      EXPECT_NE(line.find(step.level), std::string::npos) << line;
      EXPECT_EQ(line.find("CLIP") != std::string::npos, step.clip) << line;
    }
  }
}

}  // namespace
}  // namespace consynth
