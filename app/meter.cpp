#include "app/meter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "synth/sample_rate.h"

namespace consynth {

namespace {

constexpr int kBarCells = 20;
constexpr double kBarFloorDb = -40.0;
constexpr double kDbPerCell = -kBarFloorDb / kBarCells;
// A full block, then the left seven eighths of one down to one eighth (UTF-8).
constexpr const char* kEighths[] = {"", "▏", "▎", "▍", "▌", "▋", "▊", "▉", "█"};
constexpr const char* kEmptyCell = "░";
constexpr auto kClipHold = std::chrono::seconds(1);

}  // namespace

std::string meterLine(const MeterReading& reading) {
  const double db =
      reading.peak > 0.0f ? 20.0 * std::log10(static_cast<double>(reading.peak)) : -INFINITY;
  // Eighths of a cell lit, rounded down: a bar never shows more than there is.
  const int eighths = static_cast<int>(
      std::clamp(std::floor((db - kBarFloorDb) / kDbPerCell * 8.0), 0.0, kBarCells * 8.0));
  std::string bar;
  for (int cell = 0; cell < kBarCells; ++cell) {
    const int lit = std::clamp(eighths - 8 * cell, 0, 8);
    bar += lit > 0 ? kEighths[lit] : kEmptyCell;
  }
  char level[16];
  if (db < -99.95) {
    std::snprintf(level, sizeof level, "%6s dB", reading.peak > 0.0f ? "<-100" : "-inf");
  } else {
    std::snprintf(level, sizeof level, "%+6.1f dB", db);
  }
  char text[256];
  std::snprintf(text, sizeof text, "\rLPF %2d  Type %d  Reverb %-3s  %s %s %s  %3ux%u %4.1f ms",
                reading.lpfnum, reading.type, reading.bypass ? "off" : "on", bar.c_str(), level,
                reading.clipped ? "CLIP" : "    ", reading.ring.periodFrames, reading.ring.periods,
                1000.0 * reading.ring.queuedFrames() / kSampleRate);
  return text;
}

RenderPanel Meter::panel() {
  return {this, pollKeys, showStatus, [](void*, unsigned) {}, showLevels};
}

FrameKeys Meter::pollKeys(void* self) {
  auto& meter = *static_cast<Meter*>(self);
  const FrameKeys keys = meter.keys_.pollKeys(meter.keys_.context);
  meter.bypass_.store(keys.bypass, std::memory_order_relaxed);
  return keys;
}

void Meter::showStatus(void* self, int lpfnum, int type, double) {
  auto& meter = *static_cast<Meter*>(self);
  meter.lpfnum_.store(lpfnum, std::memory_order_relaxed);
  meter.type_.store(type, std::memory_order_relaxed);
}

void Meter::showLevels(void* self, const float* interleaved, unsigned frames) {
  auto& meter = *static_cast<Meter*>(self);
  float peak = 0.0f;
  for (unsigned i = 0; i < 2 * frames; ++i)
    peak = std::max(peak, std::abs(interleaved[i]));
  peak = static_cast<float>(peak * meter.gain_);
  // The control loop only ever lowers it to 0, so a plain maximum is enough.
  float held = meter.peak_.load(std::memory_order_relaxed);
  while (peak > held && !meter.peak_.compare_exchange_weak(held, peak, std::memory_order_relaxed)) {
  }
}

std::string Meter::line(Clock::time_point now) {
  MeterReading reading;
  reading.lpfnum = lpfnum_.load(std::memory_order_relaxed);
  reading.type = type_.load(std::memory_order_relaxed);
  reading.bypass = bypass_.load(std::memory_order_relaxed);
  reading.peak = peak_.exchange(0.0f, std::memory_order_relaxed);
  if (reading.peak >= 1.0f) {
    clippedAt_ = now;
    everClipped_ = true;
  }
  reading.clipped = everClipped_ && now - clippedAt_ < kClipHold;
  reading.ring = ring_;
  return meterLine(reading);
}

}  // namespace consynth
