#pragma once

#include "engine/synth_engine.h"

namespace consynth {

/// The help printed at start.
inline constexpr const char* kHelpText =
    "Tone : A/S/D/F Key\nPitch: Left/Right Key\nLPF  : Up\nType : Down\nF5   : NO Reverb\n";

/// The notes of A, S, D and F at start: a chord of offsets 0, +16, +19 and +23.
inline constexpr int kStartNotes[4] = {36, 52, 55, 59};

/// Whether MIDI note-ons play voices 4 to 9 while the loop runs.
enum class MidiInput { Off, On };

/// What the console shows while the loop runs.
enum class ConsoleView {
  Status,  ///< the help, then a status line and an index line per buffer
  Quiet,   ///< the help alone
  Meter,   ///< the help, then one meter line redrawn in place a few times a second
  None,    ///< nothing at all (--headless)
};

/// When the loop looks at the keys.
enum class KeyPolling {
  Every32ms,     ///< every 32 ms, no sooner
  AsKeysArrive,  ///< at once when a key's state changes, and every 32 ms for held keys
};

struct LoopSettings {
  MidiInput midi = MidiInput::On;
  int midiChannel = 0;  ///< 1 to 16: only that channel's note-ons play; 0: every channel's
  ConsoleView view = ConsoleView::Status;
  double gain = 1.0;  ///< the output's, for the meter
  KeyPolling polling = KeyPolling::Every32ms;
};

/// The main thread's whole work: opens the engine (and MIDI input, if on), prints the help,
/// plays the keys until Escape, closes the engine. Returns the exit code, 0.
int runControlLoop(SynthEngine& engine, const LoopSettings& settings);

}  // namespace consynth
