#include "tools/render_progress.h"

#include <cstdio>

#include "platform/standard_streams.h"
#include "synth/sample_rate.h"

namespace consynth {

namespace {

constexpr auto kQuietStart = std::chrono::milliseconds(500);
constexpr auto kRedraw = std::chrono::milliseconds(200);

}  // namespace

RenderProgress::RenderProgress(uint64_t total)
    : total_(total), shown_(platform::standardErrorIsTerminal()) {}

void RenderProgress::show(uint64_t done) {
  if (!shown_) return;
  const Clock::time_point now = Clock::now();
  if (now - start_ < kQuietStart || now - last_ < kRedraw) return;
  last_ = now;
  draw(done, now);
}

void RenderProgress::finish(uint64_t done) {
  if (!drawn_) return;
  draw(done, Clock::now());
  std::fputc('\n', stderr);
}

void RenderProgress::draw(uint64_t done, Clock::time_point now) {
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double speed = static_cast<double>(done) / kSampleRate / seconds;
  std::fprintf(stderr, "\rconsynth-render: %llu of %llu frames (%.0f%%), %.1fx real time ",
               static_cast<unsigned long long>(done), static_cast<unsigned long long>(total_),
               100.0 * static_cast<double>(done) / static_cast<double>(total_), speed);
  std::fflush(stderr);
  drawn_ = true;
}

}  // namespace consynth
