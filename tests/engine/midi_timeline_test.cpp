// Where MIDI note-ons fall in the stream, from the times they arrived and the times the
// render thread started its buffers, read exactly from a simulated clock.

#include "engine/midi_timeline.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace consynth {
namespace {

using Clock = MidiTimeline::Clock;
using std::chrono::microseconds;

constexpr unsigned kRate = 44100;

// A render thread that starts each buffer when the one a ring ago has played, woken late
// now and then by up to `lateUs` (a loaded machine), on a clock starting at `start`.
struct Stream {
  unsigned period;
  Clock::time_point start = Clock::time_point{} + std::chrono::hours(1);
  std::mt19937 random{7};
  uint64_t frame = 0;

  Clock::time_point due(uint64_t f) const {
    return start + microseconds(static_cast<int64_t>(f) * 1'000'000 / kRate);
  }
  // Starts the next buffer at its due time plus up to `lateUs`; returns when.
  Clock::time_point next(MidiTimeline& timeline, int lateUs) {
    // Most wake-ups come within a few microseconds; one in five is held up.
    const bool heldUp = std::uniform_int_distribution<int>(0, 4)(random) == 0;
    const int late = std::uniform_int_distribution<int>(0, heldUp ? lateUs : 20)(random);
    const Clock::time_point now = due(frame) + microseconds(late);
    timeline.bufferStarts(frame, now);
    frame += period;
    return now;
  }
};

TEST(MidiTimeline, EvenlyPlayedNotesLandEvenlyAtEveryPeriod) {
  for (const unsigned period : {64u, 128u, 256u, 512u}) {
    SCOPED_TRACE(period);
    MidiTimeline timeline;
    timeline.reset(kRate, period, 3);
    Stream stream{period};
    std::vector<uint64_t> placed;
    Clock::time_point nextNote = stream.start + std::chrono::milliseconds(500);
    while (placed.size() < 40) {
      const Clock::time_point now = stream.next(timeline, 3000);
      // The notes that came since the last buffer started are placed as this one renders.
      for (; nextNote <= now; nextNote += std::chrono::milliseconds(100)) {
        const uint64_t at = timeline.place(nextNote, stream.frame - period);
        EXPECT_GE(at, stream.frame - period) << "placed in the past";
        placed.push_back(at);
      }
    }
    for (size_t i = 1; i < placed.size(); ++i)
      EXPECT_NEAR(static_cast<double>(placed[i] - placed[i - 1]), kRate / 10.0, kRate / 2000.0)
          << i;
    // Played at the frame due a period and a millisecond after it came.
    EXPECT_NEAR(static_cast<double>(placed[0]), 0.5 * kRate + period + kRate / 1000,
                kRate / 2000.0);
  }
}

TEST(MidiTimeline, LateNotesStartAtOnceAndKeepTheirOrder) {
  MidiTimeline timeline;
  timeline.reset(kRate, 64, 3);
  EXPECT_EQ(timeline.place(Clock::now(), 1000), 1000u);  // no clock yet: at once
  Stream stream{64};
  for (int i = 0; i < 100; ++i)
    stream.next(timeline, 0);
  // A burst held up on its way: stamped long ago, handed over now, in order.
  const uint64_t earliest = stream.frame;
  uint64_t last = 0;
  for (int i = 0; i < 5; ++i) {
    const uint64_t at = timeline.place(stream.start + microseconds(i * 10), earliest);
    EXPECT_EQ(at, earliest);
    EXPECT_GE(at, last);
    last = at;
  }
  // A note stamped before the one before it still comes after it.
  const uint64_t ahead = timeline.place(stream.due(earliest + 2000), earliest);
  EXPECT_GE(timeline.place(stream.due(earliest + 100), earliest), ahead);
  // A time stamp far ahead (a clock gone wrong) waits at most a tenth of a second more.
  EXPECT_LE(timeline.place(stream.start + std::chrono::hours(2), earliest),
            earliest + timeline.delayFrames() + kRate / 10);
}

TEST(MidiTimeline, FollowsTheStreamAgainSoonAfterAPause) {
  MidiTimeline timeline;
  timeline.reset(kRate, 128, 3);
  Stream stream{128};
  for (int i = 0; i < 400; ++i)
    stream.next(timeline, 500);
  stream.start += std::chrono::seconds(3);  // stopped (Ctrl-Z) and continued
  for (int i = 0; i < 3; ++i)
    stream.next(timeline, 500);
  const Clock::time_point now = stream.due(stream.frame);
  const uint64_t at = timeline.place(now, stream.frame);
  EXPECT_NEAR(static_cast<double>(at), static_cast<double>(stream.frame + timeline.delayFrames()),
              0.5 * kRate / 1000);
}

}  // namespace
}  // namespace consynth
