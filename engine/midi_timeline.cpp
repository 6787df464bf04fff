#include "engine/midi_timeline.h"

#include <algorithm>

namespace consynth {

namespace {

constexpr int64_t kNanosecondsPerSecond = 1'000'000'000;

int64_t nanosecondsSinceEpoch(MidiTimeline::Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

}  // namespace

void MidiTimeline::reset(unsigned rate, unsigned periodFrames, unsigned periods) {
  rate_ = rate;
  delayFrames_ = periodFrames + rate / 1000;
  latestFrames_ = delayFrames_ + rate / 10;
  ranDryNs_ = nanosecondsOf(uint64_t{periods} * periodFrames) + 5'000'000;
  startOver();
  lastPlaced_ = 0;
}

void MidiTimeline::startOver() {
  kept_ = 0;
  known_ = false;
}

int64_t MidiTimeline::nanosecondsOf(uint64_t frames) const {
  return static_cast<int64_t>(frames / rate_) * kNanosecondsPerSecond +
         static_cast<int64_t>(frames % rate_) * kNanosecondsPerSecond / rate_;
}

int64_t MidiTimeline::framesOf(int64_t nanoseconds) const {
  const int64_t seconds = nanoseconds / kNanosecondsPerSecond;
  const int64_t rest = nanoseconds % kNanosecondsPerSecond;
  return seconds * rate_ + (rest * rate_ + kNanosecondsPerSecond / 2) / kNanosecondsPerSecond;
}

void MidiTimeline::bufferStarts(uint64_t frame, Clock::time_point now) {
  const int64_t bound = nanosecondsSinceEpoch(now) - nanosecondsOf(frame);
  if (known_ && bound - offsetNs_ > ranDryNs_) startOver();  // the stream started anew
  if (!known_ || frame >= tenthEnds_) {
    if (known_) {
      std::copy_backward(samples_, samples_ + kSamples - 1, samples_ + kSamples);
      samples_[0] = least_;
      kept_ = std::min(kept_ + 1, kSamples);
    }
    least_ = bound;
    tenthEnds_ = frame + rate_ / 10;
  }
  least_ = std::min(least_, bound);
  known_ = true;
  estimate();
}

// The mean of the lower three quarters of the samples; the tenth under way's least bound
// until the first is complete.
void MidiTimeline::estimate() {
  if (kept_ == 0) {
    offsetNs_ = least_;
    return;
  }
  int64_t sorted[kSamples];
  for (int i = 0; i < kept_; ++i) {  // in order, as they come: eight at most
    int j = i;
    for (; j > 0 && sorted[j - 1] > samples_[i]; --j)
      sorted[j] = sorted[j - 1];
    sorted[j] = samples_[i];
  }
  const int used = kept_ - kept_ / 4;
  int64_t sum = 0;
  for (int i = 0; i < used; ++i)
    sum += sorted[i] - sorted[0];
  offsetNs_ = sorted[0] + sum / used;
}

uint64_t MidiTimeline::place(Clock::time_point arrived, uint64_t earliest) {
  uint64_t frame = earliest;
  if (known_) {
    const int64_t at =
        framesOf(nanosecondsSinceEpoch(arrived) - offsetNs_) + static_cast<int64_t>(delayFrames_);
    if (at > static_cast<int64_t>(earliest)) frame = static_cast<uint64_t>(at);
  }
  frame = std::min(std::max(frame, lastPlaced_), earliest + latestFrames_);
  lastPlaced_ = std::max(frame, earliest);
  return lastPlaced_;
}

}  // namespace consynth
