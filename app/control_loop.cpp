#include "app/control_loop.h"

#include <chrono>
#include <thread>

#include "platform/console.h"
#include "platform/keyboard.h"
#include "platform/main_thread.h"
#include "platform/midi_input.h"
#include "synth/voice.h"

namespace consynth {

namespace {

using platform::Key;

constexpr auto kPollPeriod = std::chrono::milliseconds(32);
constexpr Key kNoteKeys[4] = {Key::A, Key::S, Key::D, Key::F};

bool isDown(Key key) {
  return (platform::keyState(key) & platform::kKeyDownNow) != 0;
}

void playMidiNote(void* engine, int, int note) {
  static_cast<SynthEngine*>(engine)->midiNoteOn(note);
}

}  // namespace

int runControlLoop(SynthEngine& engine, MidiInput midi) {
  platform::prepareMainThread();
  platform::consoleOpen();
  engine.open();
  // After the open, which empties the engine's MIDI queue, and before the close.
  if (midi == MidiInput::On) platform::midiOpen(playMidiNote, &engine);
  platform::consolePrint("%s", kHelpText);

  int keyNotes[4] = {kStartNotes[0], kStartNotes[1], kStartNotes[2], kStartNotes[3]};
  if (!isDown(Key::Escape)) {
    do {
      for (int k = 0; k < 4; ++k) {
        if (isDown(kNoteKeys[k])) engine.noteOn(k, keyNotes[k], kKeyPatch);
      }
      // Both arrows held cancel out; the chord's shape never changes.
      if (isDown(Key::Left)) {
        for (int& note : keyNotes)
          --note;
      }
      if (isDown(Key::Right)) {
        for (int& note : keyNotes)
          ++note;
      }
      std::this_thread::sleep_for(kPollPeriod);
    } while (!isDown(Key::Escape));
  }

  platform::midiClose();
  engine.close();
  platform::consoleClose();
  return 0;
}

}  // namespace consynth
