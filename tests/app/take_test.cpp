// Takes: what the render thread rendered, kept by the writer thread as a WAV file and an
// events file that the offline renderer must turn into the same samples.

#include "app/take_writer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "engine/synth_engine.h"
#include "formats/events_file.h"
#include "tests/support/fake_platform.h"
#include "tests/support/replay.h"
#include "tests/support/test_panel.h"
#include "tests/support/wav_compare.h"

namespace consynth {
namespace {

using namespace std::chrono_literals;

// A take is replayed from the engine's start-up state, which a program has once: each test
// has an engine of its own. Its panel's key scripts reach it through this pointer.
SynthEngine* engine = nullptr;
TakeWriter writer;  // its queue holds seconds of sound

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class TakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engineHolder_ = std::make_unique<SynthEngine>();
    engine = engineHolder_.get();
    engine->setPanel(panel.panel());
    dir = std::filesystem::temp_directory_path() /
          ("consynth-take-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
           "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    names = takeNames((dir / "take.wav").string());
  }
  void TearDown() override {
    engine->close();
    writer.finish();
    writer.limitPartsTo(kMaxWavFrames);
    fake::configureDisk({});
    std::filesystem::remove_all(dir);
  }

  void startTake() {
    ASSERT_TRUE(writer.create(names, "test")) << writer.message();
    ASSERT_TRUE(writer.start());
    engine->recordInto(&writer.queue());
  }

  // The events file must replay, from its own 'start' (if any) to its own 'end', to the WAV
  // file's samples bit for bit. Returns the frame where the take (or this part of it) ends.
  uint64_t expectReplaysBitForBit(const TakeNames& files) {
    std::ifstream in(files.events, std::ios::binary);
    const EventsParse parse = parseEvents(in);
    EXPECT_TRUE(parse.ok()) << files.events << ":" << parse.errorLine << ": " << parse.error;
    EXPECT_TRUE(parse.endFrame().has_value()) << files.events;
    std::string error;
    const auto recorded = readWavSampleBits(files.wav, error);
    EXPECT_TRUE(recorded.has_value()) << error;
    if (!parse.endFrame() || !recorded) return 0;
    const uint64_t frames = *parse.endFrame();

    const SampleComparison c =
        compareSamples(replaySampleBits(parse.events, frames, parse.startFrame()), *recorded);
    EXPECT_TRUE(c.bitExact()) << files.wav << ": " << c.differing
                              << " samples differ, the first at " << c.firstDiffering << "; "
                              << recorded->size() / 2 << " frames recorded, "
                              << frames - parse.startFrame() << " replayed";
    return frames;
  }
  uint64_t expectReplaysBitForBit() { return expectReplaysBitForBit(names); }

  TestPanel panel;
  std::filesystem::path dir;
  TakeNames names;

 private:
  std::unique_ptr<SynthEngine> engineHolder_;
};

// Keys and note-ons at many runs, a burst of them, F5 held across buffers, Up and Down: all
// kept at their frames, with no output device at all (the take is paced as if played).
TEST_F(TakeTest, KeepsEveryBufferAndChangeAndReplaysBitForBit) {
  fake::configureDevice({.mode = fake::DeviceMode::OpenFails});
  startTake();
  panel.keys = [](int poll) {
    if (poll % 37 == 3) engine->noteOn(poll % 4, 30 + poll % 25, kKeyPatch);
    if (poll == 50) engine->noteOn(9, 60, 0x0104000Fu);
    // A burst far beyond what keys make: two runs of one buffer, 60 note-ons each.
    for (int i = 0; i < 60 && (poll == 81 || poll == 82); ++i)
      engine->noteOn(4 + i % 6, i, kKeyPatch);
    return FrameKeys{.upPressed = poll % 45 == 7,
                     .downPressed = poll % 70 == 11,
                     .bypass = (poll / 30) % 3 == 1};
  };
  engine->open();
  EXPECT_TRUE(engine->running());
  panel.waitFor(60, 60);
  engine->close();
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
    if (poll < 40 && poll % 16 == 5) engine->noteOn(poll % 4, 40, kKeyPatch);
    return FrameKeys{};
  };
  engine->open();
  panel.waitFor(120, 120);
  engine->close();
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
    if (poll == 2) engine->noteOn(0, 36, kKeyPatch);
    return FrameKeys{};
  };
  engine->open();
  const int beyond = static_cast<int>(TakeQueue::kBlockCapacity) + 40;
  panel.waitFor(beyond, beyond);
  EXPECT_GE(panel.statusLines(), beyond);
  fake::resumeDisk();
  engine->close();
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
  engine->open();
  panel.waitFor(30, 30);
  engine->close();
  ASSERT_TRUE(writer.finish()) << writer.message();
  expectReplaysBitForBit();
  const std::string expected =
      "# underrun at frame " + std::to_string(20 * kFramesPerBuffer) + "\n";
  EXPECT_NE(readText(names.events).find(expected), std::string::npos) << readText(names.events);
}

// A take longer than a WAV file holds (here a part holds 10 buffers) goes on in parts, each
// replayable on its own to its own sound; a number whose files exist is passed over.
TEST_F(TakeTest, GoesOnInPartsEachReplayableOnItsOwn) {
  fake::configureDevice({.mode = fake::DeviceMode::Plays});
  writer.limitPartsTo(10 * kFramesPerBuffer);
  std::ofstream(partNames(names, 3).events, std::ios::binary) << "mine\n";
  startTake();
  panel.keys = [](int poll) {
    if (poll % 23 == 1) engine->noteOn(poll % 4, 30 + poll % 25, kKeyPatch);
    return FrameKeys{.upPressed = poll % 50 == 9, .bypass = (poll / 60) % 2 == 1};
  };
  engine->open();
  panel.waitFor(45, 45);
  engine->close();
  ASSERT_TRUE(writer.finish()) << writer.message();

  // At least five parts (45 buffers or more), numbered 1, 2, 4, 5, ...: 3 is taken.
  uint64_t end = 0;
  int parts = 0;
  for (int part = 1; part == 1 || std::filesystem::exists(partNames(names, part).wav);
       part += part == 2 ? 2 : 1) {
    const TakeNames files = part == 1 ? names : partNames(names, part);
    const std::string events = readText(files.events);
    const uint64_t start = end;
    if (part > 1) {
      const std::string startLine = std::to_string(start) + " start\n";
      EXPECT_NE(events.find(startLine), std::string::npos) << events;
    }
    end = expectReplaysBitForBit(files);
    EXPECT_LE(end - start, 10u * kFramesPerBuffer) << files.wav;
    EXPECT_GT(end, start) << files.wav;
    ++parts;
  }
  EXPECT_GE(parts, 5);
  EXPECT_EQ(end, uint64_t{kFramesPerBuffer} * panel.statusLines());
  EXPECT_EQ(readText(partNames(names, 3).events), "mine\n");
  EXPECT_FALSE(std::filesystem::exists(partNames(names, 3).wav));
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
  EXPECT_EQ(partNames(takeNames("a/b.WAV"), 12).events, "a/b-12.events");
}

}  // namespace
}  // namespace consynth
