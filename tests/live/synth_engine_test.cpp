// Open, stream and close the engine against a fake device whose playing the test steers.

#include "audio/synth_engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/credit_semaphore.h"
#include "tests/live/fake_platform.h"

namespace consynth {
namespace {

using namespace std::chrono_literals;
using platform::Key;

SynthEngine engine;

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++n;
  return n;
}

// Waits until the console holds `lines` lines starting with `what`; gives up after a
// generous while, so a fault shows as a failed expectation rather than a hung test.
std::string waitForLines(const std::string& what, int lines, std::string text = {}) {
  for (int i = 0; i < 1000 && count(text, what) < lines; ++i) {
    std::this_thread::sleep_for(5ms);
    text += fake::takeConsoleText();
  }
  return text;
}

bool allDone() {
  for (const platform::AudioBuffer& header : engine.headers) {
    if (!(header.flags.load() & platform::kBufferDone)) return false;
  }
  return true;
}

class SynthEngineTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::takeConsoleText(); }
  void TearDown() override { engine.close(); }
};

TEST(NoteOnQueueTest, KeepsOrderAcrossWrapAroundAndDropsWhatDoesNotFit) {
  NoteOnQueue queue;
  NoteOn out;
  EXPECT_FALSE(queue.pop(out));
  // Batches of every size up to a full queue, so the slots wrap around many times.
  int pushed = 0;
  int popped = 0;
  for (uint32_t batch = 1; batch <= NoteOnQueue::kCapacity; ++batch) {
    for (uint32_t i = 0; i < batch; ++i)
      ASSERT_TRUE(queue.push({0, ++pushed, 0}));
    for (uint32_t i = 0; i < batch; ++i) {
      ASSERT_TRUE(queue.pop(out));
      ASSERT_EQ(out.note, ++popped);
    }
    ASSERT_FALSE(queue.pop(out));
  }
  // Full: a further note-on is dropped and those in flight stay as they were.
  for (uint32_t i = 0; i < NoteOnQueue::kCapacity; ++i)
    ASSERT_TRUE(queue.push({0, static_cast<int>(i), 0}));
  EXPECT_FALSE(queue.push({0, -1, 0}));
  for (uint32_t i = 0; i < NoteOnQueue::kCapacity; ++i) {
    ASSERT_TRUE(queue.pop(out));
    EXPECT_EQ(out.note, static_cast<int>(i));
  }
  EXPECT_FALSE(queue.pop(out));
}

TEST(CreditSemaphoreTest, ReleasesBeyondTheCeilingAreDropped) {
  platform::CreditSemaphore credits(5, 6);
  EXPECT_TRUE(credits.release());
  EXPECT_FALSE(credits.release());
  EXPECT_EQ(credits.count(), 6);
  credits.acquire();
  EXPECT_EQ(credits.count(), 5);
}

TEST_F(SynthEngineTest, WithoutADeviceNothingStartsAndCloseReturnsAtOnce) {
  fake::configureDevice({.mode = fake::DeviceMode::OpenFails});
  engine.open();
  EXPECT_EQ(engine.device.load(), nullptr);
  EXPECT_FALSE(engine.renderThread.joinable());
  EXPECT_FALSE(engine.credits.has_value());
  engine.noteOn(2, 40, kKeyPatch);  // nobody renders: it lands in the voice at once
  EXPECT_GT(engine.mixer.voices[2].increment, 0.0);
  engine.close();
  EXPECT_EQ(fake::takeConsoleText(), "");
  EXPECT_EQ(fake::deviceRecord().opens, 0);
}

TEST_F(SynthEngineTest, SixBuffersRenderBeforeTheFirstCompletionIsNeeded) {
  fake::configureDevice({.mode = fake::DeviceMode::Plays, .allowedCompletions = 0});
  engine.open();
  std::string text = waitForLines("lpfnum:", 6, waitForLines("index = ", 5));
  std::this_thread::sleep_for(50ms);  // room for a sixth index line, which must not come
  text += fake::takeConsoleText();
  // Primed six, then six renders whose submissions find their buffers still queued; the
  // thread waits after the sixth, having used the five start credits.
  EXPECT_EQ(count(text, "lpfnum:"), 6);
  EXPECT_EQ(count(text, "index = "), 5);
  EXPECT_EQ(fake::deviceRecord().writesAccepted, 6);
  EXPECT_EQ(fake::deviceRecord().writesRefused, 6);

  fake::allowCompletions(1);
  text = waitForLines("index = ", 1);
  EXPECT_EQ(text.substr(0, 10), "index = 5\n");
}

TEST_F(SynthEngineTest, StreamsStatusAndIndexLinesInRingOrder) {
  fake::configureDevice({.mode = fake::DeviceMode::Plays});
  engine.open();
  const std::string text = waitForLines("index = ", 14);
  engine.close();

  // Each buffer: its status line, then the index line printed over it.
  const std::string pair = "lpfnum:4 : type=0 : mon : 0.000000\rindex = ";
  int expected = 0;
  int pairs = 0;
  for (size_t pos = text.find(pair); pos != std::string::npos; pos = text.find(pair, pos)) {
    pos += pair.size();
    EXPECT_EQ(text.substr(pos, 2), std::to_string(expected) + "\n");
    expected = (expected + 1) % 6;
    ++pairs;
  }
  EXPECT_GE(pairs, 14);
  EXPECT_TRUE(allDone());
  EXPECT_EQ(fake::deviceRecord().closes, 1);
}

TEST_F(SynthEngineTest, NoteOnsReachTheRenderThreadAndAreHeard) {
  fake::configureDevice({.mode = fake::DeviceMode::Plays});
  engine.open();
  waitForLines("index = ", 8);
  for (int v = 0; v < 4; ++v)
    engine.noteOn(v, 36 + v, kKeyPatch);
  waitForLines("index = ", 20);
  engine.close();
  EXPECT_GT(fake::deviceRecord().soundingBuffers, 0);
  EXPECT_GT(engine.mixer.voices[3].counter, 0);
  EXPECT_EQ(engine.droppedNoteOns.load(), 0u);
}

TEST_F(SynthEngineTest, NoteOnsThatFindTheQueueFullAreCounted) {
  fake::configureDevice({.mode = fake::DeviceMode::Stalls});
  engine.open();
  waitForLines("lpfnum:", 6, waitForLines("index = ", 5));  // waiting for a credit
  for (uint32_t i = 0; i < NoteOnQueue::kCapacity + 3; ++i)
    engine.noteOn(1, 40, kKeyPatch);
  EXPECT_EQ(engine.droppedNoteOns.load(), 3u);
}

TEST_F(SynthEngineTest, RenderKeysStepTheReverbControlsOncePerPress) {
  fake::configureDevice({.mode = fake::DeviceMode::Plays});
  const int lpfnum = engine.mixer.lpfnum;
  const int type = engine.mixer.type;
  engine.open();
  fake::holdRenderKey(Key::Up, true);
  fake::holdRenderKey(Key::Down, true);
  waitForLines("index = ", 10);
  engine.close();
  EXPECT_EQ(engine.mixer.lpfnum, (lpfnum + 1) % 32);
  EXPECT_EQ(engine.mixer.type, (type + 1) % 4);
}

TEST_F(SynthEngineTest, CloseEndsPromptlyWhenTheDeviceStopsReturningBuffers) {
  fake::configureDevice({.mode = fake::DeviceMode::Stalls});
  engine.open();
  const std::string text = waitForLines("index = ", 5);
  waitForLines("lpfnum:", 6, text);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(count(fake::takeConsoleText(), "lpfnum:"), 0);  // waiting, not spinning
  engine.close();  // must return (the test's time-out would catch a hang)
  EXPECT_EQ(engine.device.load(), nullptr);
  EXPECT_FALSE(engine.renderThread.joinable());
  // The thread rendered the start-up six and nothing more: close ended it after its wait.
  EXPECT_EQ(fake::takeConsoleText(), "index = 5\n");
  EXPECT_EQ(fake::deviceRecord().writesAccepted + fake::deviceRecord().writesRefused, 12);
}

TEST_F(SynthEngineTest, TheCreditsOutliveEveryCompletionCall) {
  // The device marks a buffer done well before it calls back: close sees all six done
  // while calls are still on their way.
  fake::configureDevice({.mode = fake::DeviceMode::Plays, .callbackDelayMs = 30});
  engine.open();
  waitForLines("index = ", 6);
  engine.close();
  EXPECT_GT(fake::deviceRecord().completions, 0);
  EXPECT_EQ(fake::deviceRecord().callbacksWithoutCredits, 0);
  EXPECT_FALSE(engine.credits.has_value());
}

TEST_F(SynthEngineTest, ReopensAfterClose) {
  fake::configureDevice({.mode = fake::DeviceMode::Plays});
  engine.open();
  waitForLines("index = ", 3);
  engine.close();
  fake::takeConsoleText();
  engine.open();
  EXPECT_EQ(waitForLines("index = ", 3).substr(0, 1), "l");
  engine.close();
  EXPECT_EQ(fake::deviceRecord().closes, 2);
}

}  // namespace
}  // namespace consynth
