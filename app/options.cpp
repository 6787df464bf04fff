#include "app/options.h"

#include <filesystem>
#include <system_error>

#include "cli/command_line.h"
#include "formats/printable.h"

namespace consynth {

namespace {

std::string takeRecord(Options& options, const std::string& name) {
  if (name.empty() || name == ".wav") return "--record needs a file NAME";
  // A folder is no file name: --record . would make the hidden files ..wav and ..events.
  std::error_code ec;
  if (name.back() == '/' || name.back() == '\\' || std::filesystem::is_directory(name, ec)) {
    return "--record needs a file NAME: " + consynth::quoted(name) + " is a folder";
  }
  options.record = name;
  return {};
}

constexpr cli::Option<Options> kOptions[] = {
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
     cli::setFlag<Options, &Options::noMidi>},
    {"--help", nullptr, "show this help and exit", cli::setFlag<Options, &Options::help>},
    {"--version", nullptr, "show the version and exit", cli::setFlag<Options, &Options::version>},
};

// "usage: consynth [--record NAME] ...": every option but --help and --version.
std::string synopsis() {
  std::string text = "usage: consynth";
  for (const cli::Option<Options>& option : kOptions) {
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

}  // namespace

CommandLine parseCommandLine(int argc, const char* const* argv) {
  CommandLine line;
  const cli::Reading reading = cli::read<Options>(kOptions, argc, argv, line.options);
  line.error = reading.error;
  if (line.error.empty() && !reading.operands.empty()) {
    line.error = "unexpected argument " + consynth::quoted(reading.operands.front());
  }
  return line;
}

std::string usageText() {
  return synopsis();
}

std::string helpText() {
  const std::string text = synopsis() +
                           "\nPlays a chord through a live stereo reverb, from the console.\n\n" +
                           kKeys + "\nOptions:\n";
  return text + cli::describe<Options>(kOptions) + "\n" + kSoundAndStatus;
}

}  // namespace consynth
