#pragma once

#include <optional>
#include <string>

namespace consynth {

/// What the command line asks of the live program. With no arguments: play, as always.
struct Options {
  bool help = false;
  bool version = false;
  std::optional<std::string> record;  ///< --record NAME: keep the take as NAME.wav, .events
  bool noMidi = false;                ///< --no-midi: leave MIDI input alone
};

/// One option the program takes. The command line is read, and the help written, from the
/// table of these in options.cpp: a new option is one more row there and a field above.
struct OptionEntry {
  const char* name;   ///< "--record"
  const char* value;  ///< what its value is called in the help ("NAME"); null: it takes none
  const char* help;   ///< its lines in --help; each '\n' starts another
  /// Takes the option (with its value) into `options`; returns what is wrong, or "".
  std::string (*apply)(Options& options, const std::string& value);
};

/// The command line read, or what is wrong with it (`error` not empty).
struct CommandLine {
  Options options;
  std::string error;
};

CommandLine parseCommandLine(int argc, const char* const* argv);

/// The short usage, for a command line that is wrong.
std::string usageText();

/// --help: usage, keys, options, where the sound goes, exit statuses.
std::string helpText();

}  // namespace consynth
