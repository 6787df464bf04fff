// Open, stream and close the engine against a fake device whose playing the test steers,
// with the render thread's panel (its keys and lines) in the test's hands.

#include "audio/synth_engine.h"

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>
#include <vector>

#include "app/take_writer.h"
#include "platform/credit_semaphore.h"
#include "tests/live/fake_platform.h"
#include "tests/wav_compare.h"
#include "tools/events_file.h"
#include "tools/offline_render.h"

namespace consynth {
namespace {

using namespace std::chrono_literals;

SynthEngine engine;

// One line the render thread showed: a status line, or (index >= 0) an index line.
struct Line {
  int index = -1;
  int lpfnum = 0;
  int type = 0;
  double monitor = 0.0;
};

// The panel the engine's render thread uses in these tests: it plays the keys `keys` gives
// for each poll (counted from 0 at open) and records the lines.
class TestPanel {
 public:
  std::function<FrameKeys(int poll)> keys = [](int) { return FrameKeys{}; };

  RenderPanel panel() { return {this, poll, status, index}; }

  void reset() {
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.clear();
    polls_ = 0;
    keys = [](int) { return FrameKeys{}; };
  }

  std::vector<Line> lines() {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
  }

  int statusLines() { return count(false); }
  int indexLines() { return count(true); }

  // Waits until at least that many lines were shown; gives up after a generous while, so a
  // fault shows as a failed expectation rather than a hung test.
  void waitFor(int statusLines, int indexLines) {
    for (int i = 0; i < 1000 && (count(false) < statusLines || count(true) < indexLines); ++i)
      std::this_thread::sleep_for(5ms);
  }

 private:
  static FrameKeys poll(void* self) {
    auto& panel = *static_cast<TestPanel*>(self);
    return panel.keys(panel.polls_++);  // the render thread's alone while it runs
  }
  static void status(void* self, int lpfnum, int type, double monitor) {
    static_cast<TestPanel*>(self)->add({-1, lpfnum, type, monitor});
  }
  static void index(void* self, unsigned index) {
    static_cast<TestPanel*>(self)->add({static_cast<int>(index)});
  }
  void add(const Line& line) {
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.push_back(line);
  }
  int count(bool indexLines) {
    std::lock_guard<std::mutex> guard(mutex_);
    int n = 0;
    for (const Line& line : lines_)
      n += (line.index >= 0) == indexLines;
    return n;
  }

  std::mutex mutex_;
  std::vector<Line> lines_;
  int polls_ = 0;
};

TestPanel panel;
// What the render thread should have made, rendered here in its runs.
FrameMixer expectedMixer;

bool allDone() {
  for (const platform::AudioBuffer& header : engine.headers) {
    if (!(header.flags.load() & platform::kBufferDone)) return false;
  }
  return true;
}

class SynthEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    panel.reset();
    engine.panel = panel.panel();
  }
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
  EXPECT_TRUE(panel.lines().empty());
  EXPECT_EQ(fake::deviceRecord().opens, 0);
}

TEST_F(SynthEngineTest, SixBuffersRenderBeforeTheFirstCompletionIsNeeded) {
  fake::configureDevice({.mode = fake::DeviceMode::Plays, .allowedCompletions = 0});
  engine.open();
  panel.waitFor(6, 5);
  std::this_thread::sleep_for(50ms);  // room for a sixth index line, which must not come
  // Primed six, then six renders whose submissions find their buffers still queued; the
  // thread waits after the sixth, having used the five start credits.
  EXPECT_EQ(panel.statusLines(), 6);
  EXPECT_EQ(panel.indexLines(), 5);
  EXPECT_EQ(fake::deviceRecord().writesAccepted, 6);
  EXPECT_EQ(fake::deviceRecord().writesRefused, 6);

  fake::allowCompletions(1);
  panel.waitFor(6, 6);
  ASSERT_GE(panel.lines().size(), 12u);
  EXPECT_EQ(panel.lines()[11].index, 5);
}

TEST_F(SynthEngineTest, StreamsStatusAndIndexLinesInRingOrder) {
  fake::configureDevice({.mode = fake::DeviceMode::Plays});
  const int lpfnum = engine.mixer.lpfnum;
  const int type = engine.mixer.type;
  engine.open();
  panel.waitFor(14, 14);
  engine.close();

  // Each buffer: its status line, then the index line printed over it.
  const std::vector<Line> lines = panel.lines();
  ASSERT_GE(lines.size(), 28u);
  for (size_t i = 0; i < lines.size(); ++i) {
    const Line& line = lines[i];
    if (i % 2 == 0) {
      EXPECT_EQ(line.index, -1) << "line " << i;
      EXPECT_EQ(line.lpfnum, lpfnum);
      EXPECT_EQ(line.type, type);
      EXPECT_EQ(line.monitor, 0.0);  // no voice has sounded
    } else {
      EXPECT_EQ(line.index, static_cast<int>(i / 2 % kBufferCount)) << "line " << i;
    }
  }
  EXPECT_TRUE(allDone());
  EXPECT_EQ(fake::deviceRecord().closes, 1);
}

// A note-on queued while the fourth run of the first buffer is polled sounds from the fifth
// run on, not from the next buffer, and so does a MIDI note-on, on voice 4 four notes up;
// Up pressed at a poll steps the damping for its run. Each status line's monitor is its
// buffer's first left sample.
TEST_F(SynthEngineTest, NoteOnsAndKeysTakeEffectAtTheNextRunOfFrames) {
  constexpr int kNoteOnPoll = 3;
  constexpr int kUpPoll = 6;
  fake::configureDevice({.mode = fake::DeviceMode::Plays, .allowedCompletions = 0});
  expectedMixer = engine.mixer;
  for (Voice& voice : expectedMixer.voices)
    voice = Voice{};
  panel.keys = [](int poll) {
    // Straight into the queue: SynthEngine::noteOn is the main thread's.
    if (poll == kNoteOnPoll) {
      engine.noteOns.push({0, 36, kKeyPatch});
      engine.midiNoteOn(60);
    }
    return FrameKeys{.upPressed = poll == kUpPoll};
  };
  engine.open();
  panel.waitFor(kBufferCount, 0);  // six buffers, each rendered once
  engine.close();

  float expected[2 * kFramesPerBuffer];
  for (unsigned run = 0; run < kFramesPerBuffer / kControlFrames; ++run) {
    if (run == kNoteOnPoll + 1) {
      expectedMixer.voices[0].noteOn(36, kKeyPatch);
      expectedMixer.voices[4].noteOn(64, kKeyPatch);
    }
    expectedMixer.renderFrames({.upPressed = run == kUpPoll}, expected + 2 * kControlFrames * run,
                               kControlFrames);
  }
  for (unsigned i = 0; i < 2 * kFramesPerBuffer; ++i) {
    ASSERT_EQ(std::bit_cast<uint32_t>(expected[i]), std::bit_cast<uint32_t>(engine.buffers[0][i]))
        << "sample " << i;
  }

  std::vector<Line> statuses;
  for (const Line& line : panel.lines()) {
    if (line.index < 0) statuses.push_back(line);
  }
  ASSERT_EQ(statuses.size(), kBufferCount);
  for (unsigned b = 0; b < kBufferCount; ++b)
    EXPECT_EQ(statuses[b].monitor, std::abs(engine.buffers[b][0])) << "buffer " << b;
  EXPECT_GT(statuses[1].monitor, 0.0);
}

TEST_F(SynthEngineTest, NoteOnsFromAnotherThreadAreHeard) {
  fake::configureDevice({.mode = fake::DeviceMode::Plays});
  engine.open();
  panel.waitFor(8, 8);
  for (int v = 0; v < 4; ++v)
    engine.noteOn(v, 36 + v, kKeyPatch);
  engine.midiNoteOn(60);
  panel.waitFor(20, 20);
  engine.close();
  EXPECT_GT(fake::deviceRecord().soundingBuffers, 0);
  EXPECT_GT(engine.mixer.voices[3].counter, 0);
  EXPECT_GT(engine.mixer.voices[4].counter, 0);
  EXPECT_EQ(engine.droppedNoteOns.load(), 0u);
}

// Each MIDI note-on takes the voice of 4 to 9 whose last note-on is the oldest, never-used
// ones first, and the keys' voices are left alone.
TEST_F(SynthEngineTest, MidiNoteOnsTakeVoicesFourToNineOldestFirst) {
  fake::configureDevice({.mode = fake::DeviceMode::Plays, .allowedCompletions = 0});
  // Six notes in one run, then one a run: the seventh and eighth take the oldest voices.
  panel.keys = [](int poll) {
    if (poll == 0) {
      for (int note = 10; note < 16; ++note)
        engine.midiNoteOn(note);
    }
    if (poll == 1) engine.midiNoteOn(20);
    if (poll == 2) engine.midiNoteOn(21);
    return FrameKeys{};
  };
  engine.open();
  panel.waitFor(1, 0);
  engine.close();

  // The first six started at run 1; the seventh and eighth at runs 2 and 3 took voices 4, 5.
  const int expectedNotes[6] = {24, 25, 16, 17, 18, 19};
  const int32_t runsLater[6] = {1, 2, 0, 0, 0, 0};
  const Voice* voices = engine.mixer.voices + MidiVoices::kFirst;
  for (int v = 0; v < MidiVoices::kCount; ++v) {
    Voice expected{};
    expected.noteOn(expectedNotes[v], kKeyPatch);
    EXPECT_EQ(voices[v].increment, expected.increment) << "voice " << v + 4;
    EXPECT_EQ(voices[2].counter - voices[v].counter, runsLater[v] * int32_t{kControlFrames})
        << "voice " << v + 4;
  }
  for (int v = 0; v < MidiVoices::kFirst; ++v)
    EXPECT_EQ(engine.mixer.voices[v].counter, 0) << "voice " << v;
}

TEST_F(SynthEngineTest, NoteOnsThatFindTheQueueFullAreCounted) {
  fake::configureDevice({.mode = fake::DeviceMode::Stalls});
  engine.open();
  panel.waitFor(kBufferCount, kBufferCount - 1);  // the render thread waits for a credit
  for (uint32_t i = 0; i < NoteOnQueue::kCapacity + 3; ++i)
    engine.noteOn(1, 40, kKeyPatch);
  EXPECT_EQ(engine.droppedNoteOns.load(), 3u);
}

TEST_F(SynthEngineTest, RenderKeysStepTheReverbControlsOncePerPress) {
  fake::configureDevice({.mode = fake::DeviceMode::Plays});
  const int lpfnum = engine.mixer.lpfnum;
  const int type = engine.mixer.type;
  panel.keys = [](int poll) { return FrameKeys{.upPressed = poll == 0, .downPressed = poll == 0}; };
  engine.open();
  panel.waitFor(10, 10);
  engine.close();
  EXPECT_EQ(engine.mixer.lpfnum, (lpfnum + 1) % 32);
  EXPECT_EQ(engine.mixer.type, (type + 1) % 4);
}

TEST_F(SynthEngineTest, CloseEndsPromptlyWhenTheDeviceStopsReturningBuffers) {
  fake::configureDevice({.mode = fake::DeviceMode::Stalls});
  engine.open();
  panel.waitFor(6, 5);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(panel.statusLines(), 6);  // waiting, not spinning
  engine.close();                     // must return (the test's time-out would catch a hang)
  EXPECT_EQ(engine.device.load(), nullptr);
  EXPECT_FALSE(engine.renderThread.joinable());
  // The thread rendered the start-up six and nothing more: close ended it after its wait.
  EXPECT_EQ(panel.statusLines(), 6);
  EXPECT_EQ(panel.indexLines(), 6);
  EXPECT_EQ(panel.lines().back().index, 5);
  EXPECT_EQ(fake::deviceRecord().writesAccepted + fake::deviceRecord().writesRefused, 12);
}

TEST_F(SynthEngineTest, TheCreditsOutliveEveryCompletionCall) {
  // The device marks a buffer done well before it calls back: close sees all six done
  // while calls are still on their way.
  fake::configureDevice({.mode = fake::DeviceMode::Plays, .callbackDelayMs = 30});
  engine.open();
  panel.waitFor(6, 6);
  engine.close();
  EXPECT_GT(fake::deviceRecord().completions, 0);
  EXPECT_EQ(fake::deviceRecord().callbacksWithoutCredits, 0);
  EXPECT_FALSE(engine.credits.has_value());
}

TEST_F(SynthEngineTest, ReopensAfterClose) {
  fake::configureDevice({.mode = fake::DeviceMode::Plays});
  engine.open();
  panel.waitFor(3, 3);
  engine.close();
  panel.reset();
  engine.open();
  panel.waitFor(3, 3);
  engine.close();
  ASSERT_FALSE(panel.lines().empty());
  EXPECT_EQ(panel.lines()[0].index, -1);  // a status line first, as at the first open
  EXPECT_EQ(fake::deviceRecord().closes, 2);
}

// Takes: what the render thread rendered, kept by the writer thread as a WAV file and an
// events file that the offline renderer must turn into the same samples.

TakeWriter writer;  // its queue holds seconds of sound
const FrameMixer pristineMixer{};
FrameMixer replayMixer;

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class TakeTest : public SynthEngineTest {
 protected:
  void SetUp() override {
    SynthEngineTest::SetUp();
    // A take is replayed from the engine's start-up state, which a program has once.
    engine.mixer = pristineMixer;
    dir = std::filesystem::temp_directory_path() /
          ("consynth-take-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
           "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    names = takeNames((dir / "take.wav").string());
  }
  void TearDown() override {
    engine.close();
    writer.finish();
    engine.takeQueue = nullptr;
    fake::configureDisk({});
    std::filesystem::remove_all(dir);
  }

  void startTake() {
    ASSERT_TRUE(writer.create(names, "test")) << writer.message();
    ASSERT_TRUE(writer.start());
    engine.takeQueue = &writer.queue();
  }

  // The events file must replay, from its own 'end', to the WAV file's samples bit for bit.
  // Returns the take's length in frames.
  uint64_t expectReplaysBitForBit() {
    std::ifstream in(names.events, std::ios::binary);
    const EventsParse parse = parseEvents(in);
    EXPECT_TRUE(parse.ok()) << parse.errorLine << ": " << parse.error;
    EXPECT_TRUE(parse.endFrame().has_value());
    std::string error;
    const auto recorded = readWavSampleBits(names.wav, error);
    EXPECT_TRUE(recorded.has_value()) << error;
    if (!parse.endFrame() || !recorded) return 0;
    const uint64_t frames = *parse.endFrame();

    std::vector<uint32_t> replayed;
    replayMixer = pristineMixer;
    renderEvents(replayMixer, parse.events, frames, [&](const float* samples, uint32_t count) {
      for (uint32_t i = 0; i < 2 * count; ++i)
        replayed.push_back(std::bit_cast<uint32_t>(samples[i]));
      return true;
    });
    const SampleComparison c = compareSamples(replayed, *recorded);
    EXPECT_TRUE(c.bitExact()) << c.differing << " samples differ, the first at " << c.firstDiffering
                              << "; " << recorded->size() / 2 << " frames recorded, " << frames
                              << " replayed";
    return frames;
  }

  std::filesystem::path dir;
  TakeNames names;
};

// Keys and note-ons at many runs, a burst of them, F5 held across buffers, Up and Down: all
// kept at their frames, with no output device at all (the take is paced as if played).
TEST_F(TakeTest, KeepsEveryBufferAndChangeAndReplaysBitForBit) {
  fake::configureDevice({.mode = fake::DeviceMode::OpenFails});
  startTake();
  panel.keys = [](int poll) {
    if (poll % 37 == 3) engine.noteOns.push({poll % 4, 30 + poll % 25, kKeyPatch});
    if (poll == 50) engine.noteOns.push({9, 60, 0x0104000Fu});
    // A burst far beyond what keys make: two runs of one buffer, 60 note-ons each.
    for (int i = 0; i < 60 && (poll == 81 || poll == 82); ++i)
      engine.noteOns.push({4 + i % 6, i, kKeyPatch});
    return FrameKeys{.upPressed = poll % 45 == 7,
                     .downPressed = poll % 70 == 11,
                     .bypass = (poll / 30) % 3 == 1};
  };
  engine.open();
  EXPECT_NE(engine.device.load(), nullptr);
  panel.waitFor(60, 60);
  engine.close();
  ASSERT_TRUE(writer.finish()) << writer.message();

  const uint64_t frames = expectReplaysBitForBit();
  EXPECT_EQ(frames, uint64_t{kFramesPerBuffer} * panel.statusLines());
  const std::string events = readText(names.events);
  EXPECT_EQ(events.rfind("# consynth test take, recorded ", 0), 0u) << events.substr(0, 80);
  EXPECT_NE(events.find(" noteon 9 60 0x0104000F\n"), std::string::npos);
  EXPECT_NE(events.find(" f5 on\n"), std::string::npos);
  EXPECT_NE(events.find(" down\n"), std::string::npos);
}

// The disk fills up in mid-take: the sound plays on, and both files end at the last frame
// the WAV file holds, complete and replayable; the writer says what was lost and why.
TEST_F(TakeTest, AFullDiskEndsBothFilesWhereTheSoundOnTheDiskEnds) {
  fake::configureDevice({.mode = fake::DeviceMode::Plays});
  // Room for the headers and about 40 buffers, the last of them in part.
  fake::configureDisk({.room = 400 + 40 * 4096 + 1234});
  startTake();
  panel.keys = [](int poll) {
    if (poll < 40 && poll % 16 == 5) engine.noteOns.push({poll % 4, 40, kKeyPatch});
    return FrameKeys{};
  };
  engine.open();
  panel.waitFor(120, 120);
  engine.close();
  EXPECT_FALSE(writer.finish());

  const uint64_t frames = expectReplaysBitForBit();
  EXPECT_GT(frames, 30u * kFramesPerBuffer);
  EXPECT_LT(frames, 41u * kFramesPerBuffer);
  EXPECT_GE(panel.statusLines(), 120);
  const std::string& message = writer.message();
  EXPECT_NE(message.find("take.wav: write failed: No space left on device"), std::string::npos)
      << message;
  EXPECT_NE(message.find("(frame " + std::to_string(frames) + ")"), std::string::npos) << message;
}

// A disk that stops answering holds up the writer only: the render thread renders on past
// all the queue holds, and the take ends where the queue ran full, complete and replayable.
TEST_F(TakeTest, ADiskThatFallsBehindNeverHoldsUpTheSound) {
  fake::configureDevice({.mode = fake::DeviceMode::Plays});
  startTake();
  fake::configureDisk({.stalled = true});
  panel.keys = [](int poll) {
    if (poll == 2) engine.noteOns.push({0, 36, kKeyPatch});
    return FrameKeys{};
  };
  engine.open();
  const int beyond = static_cast<int>(TakeQueue::kBlockCapacity) + 40;
  panel.waitFor(beyond, beyond);
  EXPECT_GE(panel.statusLines(), beyond);
  fake::resumeDisk();
  engine.close();
  EXPECT_FALSE(writer.finish());
  EXPECT_NE(writer.message().find("take.wav: the disk fell behind"), std::string::npos)
      << writer.message();

  const uint64_t frames = expectReplaysBitForBit();
  EXPECT_EQ(frames, uint64_t{kFramesPerBuffer} * TakeQueue::kBlockCapacity);
}

// The render thread stalls long enough for the device to play all it had: the buffer that
// comes after the gap is marked in the events file.
TEST_F(TakeTest, MarksWhereTheDeviceRanDry) {
  fake::configureDevice({.mode = fake::DeviceMode::Plays});
  startTake();
  constexpr int kStallPoll = 20 * kFramesPerBuffer / kControlFrames + 3;  // in buffer 20
  panel.keys = [](int poll) {
    if (poll == kStallPoll) std::this_thread::sleep_for(100ms);
    return FrameKeys{};
  };
  engine.open();
  panel.waitFor(30, 30);
  engine.close();
  ASSERT_TRUE(writer.finish()) << writer.message();
  expectReplaysBitForBit();
  const std::string expected =
      "# underrun at frame " + std::to_string(20 * kFramesPerBuffer) + "\n";
  EXPECT_NE(readText(names.events).find(expected), std::string::npos) << readText(names.events);
}

TEST_F(TakeTest, NeverReplacesAFile) {
  std::ofstream(names.events, std::ios::binary) << "mine\n";
  EXPECT_FALSE(writer.create(names, "test"));
  EXPECT_NE(writer.message().find("take.events: cannot create: File exists"), std::string::npos)
      << writer.message();
  EXPECT_EQ(readText(names.events), "mine\n");
  EXPECT_FALSE(std::filesystem::exists(names.wav));  // made first, taken back
  EXPECT_EQ(takeNames("a/b.wav").events, "a/b.events");
  EXPECT_EQ(takeNames("b.WAV").wav, "b.wav");
  EXPECT_EQ(takeNames("b.wave").wav, "b.wave.wav");
}

}  // namespace
}  // namespace consynth
