// Open, stream and close the engine against a fake device whose playing the test steers,
// with the render thread's panel (its keys and lines) in the test's hands. What the render
// thread rendered is read from a take it records.

#include "engine/synth_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "tests/support/fake_platform.h"
#include "tests/support/test_panel.h"

namespace consynth {
namespace {

using namespace std::chrono_literals;

// The engine under test, new for each test (several megabytes: on the heap), and the panel
// its render thread uses. The panels' key scripts reach the engine through this pointer.
SynthEngine* engine = nullptr;
TestPanel* panel = nullptr;
// Where the render thread hands over what it rendered, when a test asks for it.
TakeQueue rendered;

class SynthEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engineHolder_ = std::make_unique<SynthEngine>();
    panelHolder_ = std::make_unique<TestPanel>();
    engine = engineHolder_.get();
    panel = panelHolder_.get();
    engine->setPanel(panel->panel());
  }
  void TearDown() override { engine->close(); }

  // Records what the render thread renders from the next open on.
  void recordRendered() {
    rendered.clear();
    engine->recordInto(&rendered);
  }

  // Buffer `b` as the render thread rendered it, once closed.
  std::vector<float> renderedBuffer(unsigned b) {
    for (; const TakeBlock* block = rendered.front(); rendered.pop()) {
      if (block->firstFrame == uint64_t{b} * kFramesPerBuffer) {
        return {block->samples, block->samples + 2 * block->frames};
      }
    }
    ADD_FAILURE() << "buffer " << b << " was not rendered";
    return std::vector<float>(2 * kFramesPerBuffer);
  }

 private:
  std::unique_ptr<SynthEngine> engineHolder_;
  std::unique_ptr<TestPanel> panelHolder_;
};

TEST_F(SynthEngineTest, WithoutADeviceNothingStartsAndCloseReturnsAtOnce) {
  fake::configureDevice({.mode = fake::DeviceMode::OpenFails});
  engine->open();
  EXPECT_FALSE(engine->running());
  engine->noteOn(2, 40, kKeyPatch);  // nobody renders: it lands in the voice at once
  EXPECT_GT(engine->instrument().voices[2].increment, 0.0);
  engine->close();
  EXPECT_TRUE(panel->lines().empty());
  EXPECT_EQ(fake::deviceRecord().opens, 0);
}

TEST_F(SynthEngineTest, SixBuffersRenderBeforeTheFirstCompletionIsNeeded) {
  fake::configureDevice({.mode = fake::DeviceMode::Plays, .allowedCompletions = 0});
  engine->open();
  panel->waitFor(6, 5);
  std::this_thread::sleep_for(50ms);  // room for a sixth index line, which must not come
  // Primed six, then six renders whose submissions find their buffers still queued; the
  // thread waits after the sixth, having used the five start credits.
  EXPECT_EQ(panel->statusLines(), 6);
  EXPECT_EQ(panel->indexLines(), 5);
  EXPECT_EQ(fake::deviceRecord().writesAccepted, 6);
  EXPECT_EQ(fake::deviceRecord().writesRefused, 6);

  fake::allowCompletions(1);
  panel->waitFor(6, 6);
  ASSERT_GE(panel->lines().size(), 12u);
  EXPECT_EQ(panel->lines()[11].index, 5);
}

TEST_F(SynthEngineTest, StreamsStatusAndIndexLinesInRingOrderAndDrainsAtClose) {
  fake::configureDevice({.mode = fake::DeviceMode::Plays});
  engine->open();
  panel->waitFor(14, 14);
  engine->close();

  // Each buffer: its status line, then the index line printed over it.
  const std::vector<PanelLine> lines = panel->lines();
  ASSERT_GE(lines.size(), 28u);
  for (size_t i = 0; i < lines.size(); ++i) {
    const PanelLine& line = lines[i];
    if (i % 2 == 0) {
      EXPECT_EQ(line.index, -1) << "line " << i;
      EXPECT_EQ(line.lpfnum, 4);
      EXPECT_EQ(line.type, 0);
      EXPECT_EQ(line.monitor, 0.0);  // no voice has sounded
    } else {
      EXPECT_EQ(line.index, static_cast<int>(i / 2 % kBufferCount)) << "line " << i;
    }
  }
  // Close let the device play every buffer it had taken before it let it go.
  const fake::DeviceRecord device = fake::deviceRecord();
  EXPECT_EQ(device.completions, device.writesAccepted);
  EXPECT_EQ(device.closes, 1);
}

// A note-on queued while the fourth run of the first buffer is polled sounds from the fifth
// run on, not from the next buffer; Up pressed at a poll steps the damping for its run.
// Each status line's monitor is its buffer's first left sample.
TEST_F(SynthEngineTest, NoteOnsAndKeysTakeEffectAtTheNextRunOfFrames) {
  constexpr int kNoteOnPoll = 3;
  constexpr int kUpPoll = 6;
  fake::configureDevice({.mode = fake::DeviceMode::Plays, .allowedCompletions = 0});
  recordRendered();
  panel->keys = [](int poll) {
    // The render thread is the keys' only producer now.
    if (poll == kNoteOnPoll) engine->noteOn(0, 36, kKeyPatch);
    return FrameKeys{.upPressed = poll == kUpPoll};
  };
  engine->open();
  panel->waitFor(kBufferCount, 0);  // six buffers, each rendered once
  engine->close();

  auto expectedMixer = std::make_unique<FrameMixer>();
  float expected[2 * kFramesPerBuffer];
  for (unsigned run = 0; run < kFramesPerBuffer / kControlFrames; ++run) {
    if (run == kNoteOnPoll + 1) expectedMixer->voices[0].noteOn(36, kKeyPatch);
    expectedMixer->renderFrames({.upPressed = run == kUpPoll}, expected + 2 * kControlFrames * run,
                                kControlFrames);
  }
  std::vector<std::vector<float>> buffers;
  for (unsigned b = 0; b < kBufferCount; ++b)
    buffers.push_back(renderedBuffer(b));
  for (unsigned i = 0; i < 2 * kFramesPerBuffer; ++i) {
    ASSERT_EQ(std::bit_cast<uint32_t>(expected[i]), std::bit_cast<uint32_t>(buffers[0][i]))
        << "sample " << i;
  }

  std::vector<PanelLine> statuses;
  for (const PanelLine& line : panel->lines()) {
    if (line.index < 0) statuses.push_back(line);
  }
  ASSERT_EQ(statuses.size(), kBufferCount);
  for (unsigned b = 0; b < kBufferCount; ++b)
    EXPECT_EQ(statuses[b].monitor, std::abs(buffers[b][0])) << "buffer " << b;
  EXPECT_GT(statuses[1].monitor, 0.0);
}

TEST_F(SynthEngineTest, NoteOnsFromAnotherThreadAreHeard) {
  fake::configureDevice({.mode = fake::DeviceMode::Plays});
  engine->open();
  panel->waitFor(8, 8);
  for (int v = 0; v < 4; ++v)
    engine->noteOn(v, 36 + v, kKeyPatch);
  engine->midiNoteOn(60, MidiTimeline::Clock::now());
  // Counted from now: a thread held up before the note-ons may find many buffers done.
  const int shown = panel->statusLines();
  panel->waitFor(shown + 12, shown + 12);
  engine->close();
  EXPECT_GT(fake::deviceRecord().soundingBuffers, 0);
  EXPECT_GT(engine->instrument().voices[3].counter, 0);
  EXPECT_GT(engine->instrument().voices[4].counter, 0);
  EXPECT_EQ(engine->droppedNoteOns(), 0u);
}

// Each MIDI note-on takes the voice of 4 to 9 whose last note-on is the oldest, never-used
// ones first, and the keys' voices are left alone.
TEST_F(SynthEngineTest, MidiNoteOnsTakeVoicesFourToNineOldestFirst) {
  fake::configureDevice({.mode = fake::DeviceMode::Plays, .allowedCompletions = 0});
  // Six notes in one run, then one a run, all played long ago, so each starts at once: the
  // seventh and eighth take the oldest voices.
  panel->keys = [](int poll) {
    constexpr MidiTimeline::Clock::time_point kLongAgo{};
    if (poll == 0) {
      for (int note = 10; note < 16; ++note)
        engine->midiNoteOn(note, kLongAgo);
    }
    if (poll == 1) engine->midiNoteOn(20, kLongAgo);
    if (poll == 2) engine->midiNoteOn(21, kLongAgo);
    return FrameKeys{};
  };
  engine->open();
  panel->waitFor(1, 0);
  engine->close();

  // The first six started at run 0; the seventh and eighth at runs 1 and 2 took voices 4, 5.
  const int expectedNotes[6] = {24, 25, 16, 17, 18, 19};
  const int32_t runsLater[6] = {1, 2, 0, 0, 0, 0};
  const Voice* voices = engine->instrument().voices + MidiVoices::kFirst;
  for (int v = 0; v < MidiVoices::kCount; ++v) {
    Voice expected{};
    expected.noteOn(expectedNotes[v], kKeyPatch);
    EXPECT_EQ(voices[v].increment, expected.increment) << "voice " << v + 4;
    EXPECT_EQ(voices[2].counter - voices[v].counter, runsLater[v] * int32_t{kControlFrames})
        << "voice " << v + 4;
  }
  for (int v = 0; v < MidiVoices::kFirst; ++v)
    EXPECT_EQ(engine->instrument().voices[v].counter, 0) << "voice " << v;
}

// MIDI note-ons played every 10 ms start every 441 frames, whatever run of frames the
// render thread is at when they come, at every period: most to within two frames (the
// estimate of the stream's timing may step when a busy machine wakes the fake device late,
// and a note handed over late starts at once), none far off.
TEST_F(SynthEngineTest, MidiNoteOnsStartWhereTheyWerePlayed) {
  using Clock = MidiTimeline::Clock;
  for (const unsigned period : {64u, 512u}) {
    SCOPED_TRACE(period);
    fake::configureDevice({.mode = fake::DeviceMode::RealTime});
    recordRendered();
    engine->setRing({period, 3});
    engine->open();
    panel->waitFor(3, 3);
    const Clock::time_point first = Clock::now() + std::chrono::milliseconds(50);
    for (int i = 0; i < 20; ++i) {
      // Handed over a little before its time, so that this thread's own lateness on a busy
      // machine cannot make a note late: the time stamp alone places it.
      const Clock::time_point played = first + std::chrono::milliseconds(10 * i);
      std::this_thread::sleep_until(played - std::chrono::milliseconds(3));
      engine->midiNoteOn(60, played);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    engine->close();

    std::vector<uint64_t> starts;
    uint32_t gaps = 0;
    for (; const TakeBlock* block = rendered.front(); rendered.pop()) {
      gaps += block->gapCount;
      for (uint32_t i = 0; i < block->eventCount; ++i) {
        if (rendered.event(i).kind == TakeEvent::Kind::NoteOn) {
          starts.push_back(block->firstFrame + rendered.event(i).offset);
        }
      }
    }
    ASSERT_EQ(starts.size(), 20u);
#if defined(__SANITIZE_THREAD__) || defined(_WIN32)
    // ThreadSanitizer slows every thread many times over, and Wine's timers wake the fake
    // device and this thread late by whole milliseconds: the hand-over is checked, not the
    // timing (the timeline's own tests check that on a simulated clock).
    GTEST_SKIP() << "timing not checked in this build";
#endif
    // Nor where the render thread could not keep up with real time (an emulator).
    if (gaps > 0) GTEST_SKIP() << "the device ran dry " << gaps << " times: timing not checked";
    std::vector<double> misses;  // frames from the 441 each spacing should have
    for (size_t i = 1; i < starts.size(); ++i)
      misses.push_back(std::abs(static_cast<double>(starts[i] - starts[i - 1]) - 441.0));
    std::sort(misses.begin(), misses.end());
    EXPECT_LE(misses[misses.size() / 2], 2.0) << "the median spacing's miss, in frames";
    EXPECT_LE(misses.back(), 220.0) << "the largest miss, in frames (5 ms)";
  }
}

TEST_F(SynthEngineTest, NoteOnsThatFindTheQueueFullAreCounted) {
  fake::configureDevice({.mode = fake::DeviceMode::Stalls});
  engine->open();
  panel->waitFor(kBufferCount, kBufferCount - 1);  // the render thread waits for a credit
  for (uint32_t i = 0; i < NoteOnQueue::kCapacity + 3; ++i)
    engine->noteOn(1, 40, kKeyPatch);
  EXPECT_EQ(engine->droppedNoteOns(), 3u);
}

TEST_F(SynthEngineTest, RenderKeysStepTheReverbControlsOncePerPress) {
  fake::configureDevice({.mode = fake::DeviceMode::Plays});
  panel->keys = [](int poll) {
    return FrameKeys{.upPressed = poll == 0, .downPressed = poll == 0};
  };
  engine->open();
  panel->waitFor(10, 10);
  engine->close();
  EXPECT_EQ(engine->instrument().lpfnum, 5);
  EXPECT_EQ(engine->instrument().type, 1);
}

TEST_F(SynthEngineTest, CloseEndsPromptlyWhenTheDeviceStopsReturningBuffers) {
  fake::configureDevice({.mode = fake::DeviceMode::Stalls});
  engine->open();
  panel->waitFor(6, 5);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(panel->statusLines(), 6);  // waiting, not spinning
  engine->close();                     // must return (the test's time-out would catch a hang)
  EXPECT_FALSE(engine->running());
  // The thread rendered the start-up six and nothing more: close ended it after its wait.
  EXPECT_EQ(panel->statusLines(), 6);
  EXPECT_EQ(panel->indexLines(), 6);
  EXPECT_EQ(panel->lines().back().index, 5);
  EXPECT_EQ(fake::deviceRecord().writesAccepted + fake::deviceRecord().writesRefused, 12);
}

TEST_F(SynthEngineTest, TheCreditsOutliveEveryCompletionCall) {
  // The device marks a buffer done well before it calls back: close sees all six done
  // while calls are still on their way.
  fake::configureDevice({.mode = fake::DeviceMode::Plays, .callbackDelayMs = 30});
  engine->open();
  panel->waitFor(6, 6);
  engine->close();
  EXPECT_GT(fake::deviceRecord().completions, 0);
  EXPECT_EQ(fake::deviceRecord().callbacksWithoutCredits, 0);
}

TEST_F(SynthEngineTest, ReopensAfterClose) {
  fake::configureDevice({.mode = fake::DeviceMode::Plays});
  engine->open();
  panel->waitFor(3, 3);
  engine->close();
  TestPanel second;
  engine->setPanel(second.panel());
  engine->open();
  second.waitFor(3, 3);
  engine->close();
  ASSERT_FALSE(second.lines().empty());
  EXPECT_EQ(second.lines()[0].index, -1);  // a status line first, as at the first open
  EXPECT_EQ(fake::deviceRecord().closes, 2);
}

}  // namespace
}  // namespace consynth
