#include "app/control_loop.h"

#include <chrono>
#include <string>
#include <thread>

#include "app/meter.h"
#include "platform/console.h"
#include "platform/keyboard.h"
#include "platform/main_thread.h"
#include "platform/midi_input.h"
#include "synth/voice.h"

namespace consynth {

namespace {

using platform::Key;

constexpr auto kPollPeriod = std::chrono::milliseconds(32);
constexpr auto kMeterRedraw = std::chrono::milliseconds(125);  // eight lines a second
constexpr Key kNoteKeys[4] = {Key::A, Key::S, Key::D, Key::F};

bool isDown(Key key) {
  return (platform::keyState(key) & platform::kKeyDownNow) != 0;
}

// Where MIDI note-ons go: the engine, from one channel or all.
struct MidiTarget {
  SynthEngine* engine;
  int channel;  ///< 0 to 15, or -1 for all
};

void playMidiNote(void* context, int channel, int note,
                  std::chrono::steady_clock::time_point played) {
  const auto& target = *static_cast<const MidiTarget*>(context);
  if (target.channel < 0 || channel == target.channel) target.engine->midiNoteOn(note, played);
}

RenderPanel panelFor(ConsoleView view, Meter& meter) {
  switch (view) {
    case ConsoleView::Quiet:
    case ConsoleView::None:
      return keysOnlyPanel();
    case ConsoleView::Meter:
      return meter.panel();
    case ConsoleView::Status:
      break;
  }
  return consolePanel();
}

}  // namespace

int runControlLoop(SynthEngine& engine, const LoopSettings& settings) {
  platform::prepareMainThread();
  platform::consoleOpen();
  Meter meter(settings.gain);
  engine.setPanel(panelFor(settings.view, meter));
  engine.open();
  // After the open, which empties the engine's MIDI queue, and before the close.
  MidiTarget midiTarget = {&engine, settings.midiChannel - 1};
  if (settings.midi == MidiInput::On) platform::midiOpen(playMidiNote, &midiTarget);
  if (settings.view != ConsoleView::None) platform::consolePrint("%s", kHelpText);
  const bool metered = settings.view == ConsoleView::Meter;
  if (metered) platform::consoleUseUtf8();
  meter.setRing(engine.ring());

  int keyNotes[4] = {kStartNotes[0], kStartNotes[1], kStartNotes[2], kStartNotes[3]};
  Meter::Clock::time_point nextLine{};
  if (!isDown(Key::Escape)) {
    do {
      if (const auto now = Meter::Clock::now(); metered && now >= nextLine) {
        platform::consolePrint("%s", meter.line(now).c_str());
        nextLine = now + kMeterRedraw;
      }
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
      if (settings.polling == KeyPolling::AsKeysArrive) {
        platform::waitForKeyEvent(kPollPeriod);
      } else {
        std::this_thread::sleep_for(kPollPeriod);
      }
    } while (!isDown(Key::Escape));
  }

  platform::midiClose();
  engine.close();
  if (metered) platform::consolePrint("%s\n", meter.line(Meter::Clock::now()).c_str());
  engine.setPanel(consolePanel());  // the meter goes with this call
  platform::consoleClose();
  return 0;
}

}  // namespace consynth
