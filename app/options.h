#pragma once

#include <optional>
#include <string>

#include "engine/ring.h"

namespace consynth {

/// What the command line asks of the live program. With no arguments: play, as always.
struct Options {
  bool help = false;
  bool version = false;
  std::optional<std::string> record;  ///< --record NAME: keep the take as NAME.wav, .events
  bool noMidi = false;                ///< --no-midi: leave MIDI input alone
  std::string device;                 ///< --device NAME: the output to open; "": the default
  double gainDecibels = 0.0;          ///< --gain DB, -40 to +6
  bool listDevices = false;           ///< --list-devices: print the outputs and exit
  bool headless = false;              ///< --headless: no terminal, no keys, no lines; MIDI plays
  bool quiet = false;                 ///< --quiet: the keys, no status or index lines
  bool meter = false;                 ///< --meter: one line redrawn in place instead of them
  int midiChannel = 0;                ///< --midi-channel N, 1 to 16; 0: every channel
  RingShape ring;  ///< --period FRAMES, --periods N: the device buffers' length and number
};

/// The command line read, or what is wrong with it (`error` not empty).
struct CommandLine {
  Options options;
  std::string error;
};

/// Reads the command line from the table of options in options.cpp: a new option is one
/// more row there and a field above.
CommandLine parseCommandLine(int argc, const char* const* argv);

/// The short usage, for a command line that is wrong.
std::string usageText();

/// --help: usage, keys, options, where the sound goes, exit statuses.
std::string helpText();

}  // namespace consynth
