// The keyboard loop against a scripted keyboard, with no audio device (so the voices it
// triggers can be read back directly).

#include "app/control_loop.h"

#include <gtest/gtest.h>

#include <thread>

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

  int run(std::vector<std::set<Key>> polls, LoopSettings settings = {}) {
    fake::scriptKeyboard(std::move(polls));
    fake::takeMidiRecord();
    return runControlLoop(engine, settings);
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
  EXPECT_EQ(run({{}}, {.midi = MidiInput::Off}), 0);
  EXPECT_EQ(fake::takeMidiRecord().opens, 0);
}

TEST_F(ControlLoopTest, EscapeEndsTheLoopAfterThePollInProgress) {
  EXPECT_EQ(run({{}, {}, {Key::Escape}}), 0);
  EXPECT_EQ(fake::keyQueries(Key::Escape), 3);
  EXPECT_EQ(fake::keyQueries(Key::A), 2);
}

// With --midi-channel only that channel's note-ons reach the voices. The device plays a few
// buffers once they are sent, far less than a note lasts, so the notes still sound at the end.
TEST_F(ControlLoopTest, AMidiChannelPlaysItsNoteOnsAndNoOthers) {
  fake::configureDevice({.mode = fake::DeviceMode::Plays, .allowedCompletions = 0});
  fake::scriptKeyboard(std::vector<std::set<Key>>(6));
  std::thread loop([] { runControlLoop(engine, {.midiChannel = 2}); });
  while (!fake::sendMidiNoteOn(1, 60)) {  // channel 2, as MIDI numbers them from 0
    std::this_thread::yield();
  }
  fake::sendMidiNoteOn(0, 61);
  fake::sendMidiNoteOn(15, 62);
  fake::sendMidiNoteOn(1, 63);
  fake::allowCompletions(4);
  loop.join();
  EXPECT_EQ(engine.instrument().voices[4].increment, incrementOf(60 + kMidiNoteOffset));
  EXPECT_EQ(engine.instrument().voices[5].increment, incrementOf(63 + kMidiNoteOffset));
  EXPECT_FALSE(engine.instrument().voices[6].increment > 0.0);
}

// What the console shows: the help and a status and index line per buffer, the help alone,
// the help and a meter line drawn over itself, or nothing.
TEST_F(ControlLoopTest, EachViewPrintsItsOwnLines) {
  fake::configureDevice({.mode = fake::DeviceMode::Plays, .periodMs = 2});
  struct Case {
    ConsoleView view;
    bool help;
    bool statusLines;
    bool meterLines;
  };
  const Case cases[] = {{ConsoleView::Status, true, true, false},
                        {ConsoleView::Quiet, true, false, false},
                        {ConsoleView::Meter, true, false, true},
                        {ConsoleView::None, false, false, false}};
  for (const Case& c : cases) {
    fake::takeConsoleText();
    EXPECT_EQ(run(std::vector<std::set<Key>>(9), {.view = c.view}), 0);
    const std::string text = fake::takeConsoleText();
    const auto view = static_cast<int>(c.view);
    // Nothing orders the help against the render thread's first lines.
    EXPECT_EQ(text.find(kHelpText) != std::string::npos, c.help) << view;
    EXPECT_EQ(text.find("lpfnum:") != std::string::npos, c.statusLines) << view;
    EXPECT_EQ(text.find("index = ") != std::string::npos, c.statusLines) << view;
    EXPECT_EQ(text.find("\rLPF  4  Type 0  Reverb on ") != std::string::npos, c.meterLines) << view;
    if (c.meterLines) {
      // Every fourth of the nine polls (0, 4, 8) and once more at the end.
      size_t lines = 0;
      for (size_t at = 0; (at = text.find("\rLPF", at)) != std::string::npos; ++at)
        ++lines;
      EXPECT_EQ(lines, 4u);
      // Drawn in place: one line break, after the last one.
      EXPECT_EQ(text.find('\n', std::string(kHelpText).size()), text.size() - 1);
    }
    if (!c.help) {
      EXPECT_EQ(text, "") << view;
    }
  }
}

}  // namespace
}  // namespace consynth
