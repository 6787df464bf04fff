#pragma once

#include <atomic>
#include <chrono>
#include <string>

#include "engine/render_panel.h"
#include "engine/ring.h"

namespace consynth {

/// What the meter line shows.
struct MeterReading {
  int lpfnum = 0;
  int type = 0;
  bool bypass = false;
  float peak = 0.0f;     ///< the largest sample magnitude as it leaves for the device
  bool clipped = false;  ///< a sample reached full scale (1.0) or beyond, lately
  RingShape ring;        ///< the buffers' length and number, and so the sound queued
};

/// The meter line for `reading`, "\r" first, so that each one is drawn over the last, and of
/// one width whatever it shows: the reverb's damping, delay set and bypass, a bar of block
/// characters from -40 to 0 dB of full scale (an eighth of a character is 0.25 dB), the peak
/// in dB, "CLIP" while the output clips, and the ring: its period, buffers and the sound it
/// queues.
std::string meterLine(const MeterReading& reading);

/// The --meter panel: the render thread leaves the reverb's settings and the level of each
/// buffer here, and the control loop draws the line from them a few times a second.
class Meter {
 public:
  using Clock = std::chrono::steady_clock;

  /// `gain`: what the output multiplies the samples by, so the bar shows what the device gets.
  explicit Meter(double gain) : gain_(gain) {}

  /// The reverb keys from the keyboard, as the console's panel has them; no lines.
  RenderPanel panel();

  /// The ring as the engine opened it.
  void setRing(const RingShape& ring) { ring_ = ring; }

  /// The line as the buffers since the last call left it; a clip shows for a second after
  /// the last one.
  std::string line(Clock::time_point now);

 private:
  static FrameKeys pollKeys(void* self);
  static void showStatus(void* self, int lpfnum, int type, double monitor);
  static void showLevels(void* self, const float* interleaved, unsigned frames);

  const double gain_;
  RenderPanel keys_ = keysOnlyPanel();
  // Left by the render thread, taken by the control loop.
  std::atomic<int> lpfnum_{4};
  std::atomic<int> type_{0};
  std::atomic<bool> bypass_{false};
  std::atomic<float> peak_{0.0f};  ///< the largest since the last line
  // The control loop's.
  RingShape ring_;
  Clock::time_point clippedAt_{};
  bool everClipped_ = false;
};

}  // namespace consynth
