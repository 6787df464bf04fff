#include "app/options.h"

#include <algorithm>

#include "tools/printable.h"

namespace consynth {

namespace {

std::string takeNoMidi(Options& options, const std::string&) {
  options.noMidi = true;
  return {};
}

std::string takeHelp(Options& options, const std::string&) {
  options.help = true;
  return {};
}

std::string takeVersion(Options& options, const std::string&) {
  options.version = true;
  return {};
}

std::string takeRecord(Options& options, const std::string& name) {
  if (options.record) return "--record given more than once";
  const bool folder = !name.empty() && (name.back() == '/' || name.back() == '\\');
  if (name.empty() || name == ".wav" || folder) return "--record needs a file NAME";
  options.record = name;
  return {};
}

constexpr OptionEntry kOptions[] = {
    {"--record", "NAME",
     "play as usual and keep the take in two new files: NAME.wav,\n"
     "the sound (32-bit float stereo, 44,100 Hz), and NAME.events,\n"
     "every key and note at the frame where it took effect, which\n"
     "'consynth-render --events NAME.events OUT.wav' replays to the\n"
     "same sound, bit for bit. A trailing .wav on NAME is dropped;\n"
     "files that exist are never replaced. Without an output device\n"
     "the take is made all the same, in real time.",
     takeRecord},
    {"--no-midi", nullptr,
     "do not listen to MIDI. Otherwise every MIDI note-on (any\n"
     "channel) plays one of voices 4 to 9, the one whose last note\n"
     "is oldest, at the MIDI note + 4; note-off, velocity and\n"
     "controllers have no effect.",
     takeNoMidi},
    {"--help", nullptr, "show this help and exit", takeHelp},
    {"--version", nullptr, "show the version and exit", takeVersion},
};

const OptionEntry* findOption(const std::string& name) {
  for (const OptionEntry& option : kOptions) {
    if (name == option.name) return &option;
  }
  if (name == "-h") return findOption("--help");
  return nullptr;
}

// "usage: consynth [--record NAME] ...": every option but --help and --version.
std::string synopsis() {
  std::string text = "usage: consynth";
  for (const OptionEntry& option : kOptions) {
    const std::string name = option.name;
    if (name == "--help" || name == "--version") continue;
    text += " [" + name + (option.value ? std::string(" ") + option.value : "") + "]";
  }
  return text + "\n       consynth --help | --version\n";
}

constexpr const char* kKeys =
    "Keys:\n"
    "  A S D F       play the chord's four notes\n"
    "  Left, Right   shift the chord down or up a semitone\n"
    "  Up            step the reverb's damping (lpfnum)\n"
    "  Down          step the reverb's delay set (type)\n"
    "  F5            bypass the reverb while held\n"
    "  Escape        quit; so do Ctrl-C and the end of piped input\n";

constexpr const char* kSoundAndStatus =
    "Sound goes to the default audio output (ALSA's 'default' device on Linux, the\n"
    "wave-out device on Windows) as 32-bit float stereo at 44,100 Hz; without one the\n"
    "program plays silently. The console shows the keys and a status line per buffer.\n"
    "\n"
    "Exit status: 0 when quit with a key; 1 when a take lost sound (a message on\n"
    "standard error says what and why); 2 for a wrong command line or take files that\n"
    "exist or cannot be made; 128+N when ended by signal N.\n";

// An option's lines in --help: its first help line beside it, the rest beneath, in one
// column.
std::string helpLines(const OptionEntry& option) {
  constexpr size_t kColumn = 18;
  std::string text = std::string("  ") + option.name;
  if (option.value != nullptr) text += std::string(" ") + option.value;
  text += text.size() < kColumn ? std::string(kColumn - text.size(), ' ')
                                : "\n" + std::string(kColumn, ' ');
  const std::string help = option.help;
  for (size_t at = 0; at <= help.size();) {
    const size_t end = std::min(help.find('\n', at), help.size());
    if (at > 0) text += std::string(kColumn, ' ');
    text += help.substr(at, end - at) + "\n";
    at = end + 1;
  }
  return text;
}

}  // namespace

CommandLine parseCommandLine(int argc, const char* const* argv) {
  CommandLine line;
  for (int i = 1; i < argc && line.error.empty(); ++i) {
    std::string arg = argv[i];
    std::string value;
    bool inlineValue = false;
    if (const size_t equals = arg.find('='); arg.starts_with("--") && equals != std::string::npos) {
      value = arg.substr(equals + 1);
      arg.resize(equals);
      inlineValue = true;
    }
    const OptionEntry* option = findOption(arg);
    if (option == nullptr) {
      line.error =
          (arg.starts_with("-") ? "unknown option " : "unexpected argument ") + quoted(argv[i]);
    } else if (option->value == nullptr && inlineValue) {
      line.error = arg + " takes no value";
    } else if (option->value != nullptr && !inlineValue && i + 1 >= argc) {
      line.error = arg + " needs a " + option->value;
    } else {
      if (option->value != nullptr && !inlineValue) value = argv[++i];
      line.error = option->apply(line.options, value);
    }
  }
  return line;
}

std::string usageText() {
  return synopsis();
}

std::string helpText() {
  std::string text = synopsis() +
                     "\nPlays a chord through a live stereo reverb, from the console.\n\n" + kKeys +
                     "\nOptions:\n";
  for (const OptionEntry& option : kOptions)
    text += helpLines(option);
  return text + "\n" + kSoundAndStatus;
}

}  // namespace consynth
