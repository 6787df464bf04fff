// The keyboard loop against a scripted keyboard, with no audio device (so the voices it
// triggers can be read back directly).

#include "app/control_loop.h"

#include <gtest/gtest.h>

#include "tests/support/fake_platform.h"

namespace consynth {
namespace {

using platform::Key;

SynthEngine engine;

double incrementOf(int note) {
  Voice voice{};
  voice.noteOn(note, kKeyPatch);
  return voice.increment;
}

class ControlLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::configureDevice({.mode = fake::DeviceMode::OpenFails});
    fake::takeConsoleText();
  }

  int run(std::vector<std::set<Key>> polls, MidiInput midi = MidiInput::On) {
    fake::scriptKeyboard(std::move(polls));
    fake::takeMidiRecord();
    return runControlLoop(engine, midi);
  }
};

TEST_F(ControlLoopTest, EscapeAtStartOpensPrintsHelpAndClosesWithoutPolling) {
  EXPECT_EQ(run({{Key::Escape, Key::A}}), 0);
  EXPECT_EQ(
      fake::takeConsoleText(),
      "Tone : A/S/D/F Key\nPitch: Left/Right Key\nLPF  : Up\nType : Down\nF5   : NO Reverb\n");
  EXPECT_EQ(fake::keyQueries(Key::A), 0);
  EXPECT_EQ(fake::keyQueries(Key::Escape), 1);
  EXPECT_FALSE(engine.instrument().voices[0].increment > 0.0);
}

TEST_F(ControlLoopTest, NoteKeysTriggerTheirVoicesAtTheChordNotes) {
  EXPECT_EQ(run({{Key::A, Key::S, Key::D, Key::F}}), 0);
  EXPECT_EQ(engine.instrument().voices[0].increment, incrementOf(36));
  EXPECT_EQ(engine.instrument().voices[1].increment, incrementOf(52));
  EXPECT_EQ(engine.instrument().voices[2].increment, incrementOf(55));
  EXPECT_EQ(engine.instrument().voices[3].increment, incrementOf(59));
  EXPECT_EQ(engine.instrument().voices[0].patch, kKeyPatch);
  EXPECT_FALSE(engine.instrument().voices[4].increment > 0.0);
}

TEST_F(ControlLoopTest, LeftAndRightTogetherLeaveThePitchAlone) {
  EXPECT_EQ(run({{Key::Left, Key::Right},
                 {Key::Left, Key::Right},
                 {Key::Left, Key::Right},
                 {Key::Right},
                 {Key::A}}),
            0);
  EXPECT_EQ(engine.instrument().voices[0].increment, incrementOf(37));
}

TEST_F(ControlLoopTest, ShiftAppliesFromTheNextPollOn) {
  EXPECT_EQ(run({{Key::Left, Key::S}, {Key::S}}), 0);
  // The first S plays before Left moves the notes; the second at the lowered pitch.
  EXPECT_EQ(engine.instrument().voices[1].increment, incrementOf(51));
  EXPECT_EQ(engine.instrument().voices[1].counter, 0);
}

TEST_F(ControlLoopTest, FortyPollsOfLeftMoveTheChordBelowNoteZero) {
  std::vector<std::set<Key>> polls(40, std::set<Key>{Key::Left});
  polls.push_back({Key::A, Key::S, Key::D, Key::F});
  EXPECT_EQ(run(polls), 0);
  EXPECT_EQ(engine.instrument().voices[0].increment, incrementOf(0));  // note -4 plays as 0
  EXPECT_EQ(engine.instrument().voices[1].increment, incrementOf(12));
  EXPECT_EQ(engine.instrument().voices[2].increment, incrementOf(15));
  EXPECT_EQ(engine.instrument().voices[3].increment, incrementOf(19));
}

TEST_F(ControlLoopTest, MidiInputIsOpenWhileTheLoopRunsUnlessTurnedOff) {
  EXPECT_EQ(run({{}}), 0);
  const fake::MidiRecord on = fake::takeMidiRecord();
  EXPECT_EQ(on.opens, 1);
  EXPECT_EQ(on.closes, 1);
  EXPECT_EQ(run({{}}, MidiInput::Off), 0);
  EXPECT_EQ(fake::takeMidiRecord().opens, 0);
}

TEST_F(ControlLoopTest, EscapeEndsTheLoopAfterThePollInProgress) {
  EXPECT_EQ(run({{}, {}, {Key::Escape}}), 0);
  EXPECT_EQ(fake::keyQueries(Key::Escape), 3);
  EXPECT_EQ(fake::keyQueries(Key::A), 2);
}

}  // namespace
}  // namespace consynth
