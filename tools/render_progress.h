#pragma once

#include <chrono>
#include <cstdint>

namespace consynth {

/// A line on standard error, redrawn a few times a second, while a render that takes more
/// than a moment runs: frames done, in all, and the speed as a multiple of real time. Only
/// where standard error is a terminal, which someone watches.
class RenderProgress {
 public:
  explicit RenderProgress(uint64_t total);

  /// `done` frames are rendered.
  void show(uint64_t done);

  /// Draws the final count, if a line was drawn, and ends the line.
  void finish(uint64_t done);

 private:
  using Clock = std::chrono::steady_clock;
  void draw(uint64_t done, Clock::time_point now);

  const uint64_t total_;
  const bool shown_;
  bool drawn_ = false;
  const Clock::time_point start_ = Clock::now();
  Clock::time_point last_{};
};

}  // namespace consynth
