#pragma once

#include <chrono>
#include <cstdint>

namespace consynth {

/// Where MIDI note-ons fall in the stream. Each starts at the frame that plays the moment it
/// arrived plus one fixed delay, so notes played evenly are heard evenly, whatever run of
/// frames the render thread happens to be at when they come.
///
/// The render thread renders each buffer as soon as a credit lets it, which is when the
/// device has played the buffer a ring before it: so the frames of the stream keep a fixed
/// relation to the clock, frame f rendered at about c + f / rate, never earlier. Each
/// buffer's start is an upper bound on c, and the least bound of each tenth of a second
/// of sound a sample of it: the device gives its credits in bursts that come a little
/// earlier or later, and a loaded machine may delay all of a tenth. So the estimate is the
/// mean of the lower three quarters of the last eight samples, which moves by little from
/// one note to the next and follows a device whose clock runs apart from the system's. A
/// buffer started later than the whole ring would have lasted means the device ran dry and
/// the stream started anew: the estimate starts over from it. The delay is one period, the
/// most a note may wait to be rendered, and a millisecond for the note's way to the render
/// thread and for the estimate's spread, so no note is placed in the past.
class MidiTimeline {
 public:
  using Clock = std::chrono::steady_clock;

  /// Starts over for a stream of `periods` buffers of `periodFrames` frames at `rate`
  /// frames a second.
  void reset(unsigned rate, unsigned periodFrames, unsigned periods);

  /// The render thread starts the buffer that begins at `frame` (counted from the stream's
  /// start) at `now`.
  void bufferStarts(uint64_t frame, Clock::time_point now);

  /// The frame at which a note-on that arrived at `arrived` starts: no earlier than
  /// `earliest` (the first frame not yet rendered) nor than the note placed before it, so
  /// a late burst keeps its order; and no later than a tenth of a second past the delay.
  uint64_t place(Clock::time_point arrived, uint64_t earliest);

  /// The fixed delay, in frames.
  uint64_t delayFrames() const { return delayFrames_; }

 private:
  static constexpr int kSamples = 8;

  int64_t nanosecondsOf(uint64_t frames) const;
  int64_t framesOf(int64_t nanoseconds) const;  ///< rounded to nearest
  void startOver();
  void estimate();

  unsigned rate_ = 44100;
  uint64_t delayFrames_ = 0;
  uint64_t latestFrames_ = 0;  ///< the furthest past the earliest a note may go
  int64_t ranDryNs_ = 0;       ///< a buffer this late means the device ran dry
  // The samples of c: the newest kept first, and the least bound of the tenth under way.
  int64_t samples_[kSamples] = {};
  int kept_ = 0;
  int64_t least_ = 0;
  uint64_t tenthEnds_ = 0;  ///< the frame where the tenth under way ends
  bool known_ = false;      ///< a buffer has started since the estimate started over
  int64_t offsetNs_ = 0;    ///< the estimate of c, in nanoseconds of the clock
  uint64_t lastPlaced_ = 0;
};

}  // namespace consynth
