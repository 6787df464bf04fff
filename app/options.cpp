#include "app/options.h"

#include <cstdio>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "cli/command_line.h"
#include "formats/printable.h"
#include "synth/sample_rate.h"

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

std::string takePeriod(Options& options, const std::string& text) {
  unsigned frames = 0;
  if (!cli::readWhole(text, frames) || !RingShape{frames, kBufferCount}.valid()) {
    return "--period must be 64, 128, 256 or 512 frames, not " + consynth::quoted(text);
  }
  options.ring.periodFrames = frames;
  return {};
}

std::string takePeriods(Options& options, const std::string& text) {
  unsigned periods = 0;
  if (!cli::readWhole(text, periods) || !RingShape{kFramesPerBuffer, periods}.valid()) {
    return "--periods must be a whole number from 2 to 6, not " + consynth::quoted(text);
  }
  options.ring.periods = periods;
  return {};
}

// ALSA's PCM names and Windows' device names never start with '-': one that does is an
// option that took the place of the name (`--device --headless`).
std::string takeDevice(Options& options, const std::string& name) {
  if (name.empty() || name.starts_with("-")) {
    return "--device needs an output's NAME (--list-devices shows them)" +
           (name.empty() ? std::string() : ", not " + consynth::quoted(name));
  }
  if (name.size() > 255) return "--device: the name is longer than 255 bytes";
  options.device = name;
  return {};
}

// A decimal number as people write one: a sign, digits, a point and digits (no exponent,
// no "inf" or "nan"), short enough that it cannot be out of any range.
bool isDecimal(std::string_view text) {
  if (text.starts_with('+') || text.starts_with('-')) text.remove_prefix(1);
  return text.size() <= 8 && text.find_first_not_of("0123456789.") == std::string_view::npos &&
         text.find('.') == text.rfind('.') &&
         text.find_first_of("0123456789") != std::string_view::npos;
}

std::string takeGain(Options& options, const std::string& text) {
  const bool number = isDecimal(text);
  const double decibels = number ? std::stod(text) : 0.0;
  if (!number || decibels < -40.0 || decibels > 6.0) {
    return "--gain takes decibels from -40 to +6, not " + consynth::quoted(text);
  }
  options.gainDecibels = decibels;
  return {};
}

std::string takeMidiChannel(Options& options, const std::string& text) {
  unsigned channel = 0;
  if (text.size() > 2 || !cli::readWhole(text, channel) || channel < 1 || channel > 16) {
    return "--midi-channel takes a channel from 1 to 16, not " + consynth::quoted(text);
  }
  options.midiChannel = static_cast<int>(channel);
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
     "the take is made all the same, in real time. A take longer\n"
     "than a WAV file holds (3 h 22 min) goes on in NAME-2.wav and\n"
     "NAME-2.events, then -3 and so on, each replayable on its own.",
     takeRecord},
    {"--period", "FRAMES",
     "the frames in each buffer of the ring: 64, 128, 256 or 512\n"
     "(the default). Shorter buffers play sooner (see Latency),\n"
     "cost more wake-ups, and make the keys act as they arrive.",
     takePeriod},
    {"--periods", "N",
     "the buffers in the ring, 2 to 6 (the default); N-1 of them are\n"
     "queued ahead of the one being rendered.",
     takePeriods},
    {"--no-midi", nullptr,
     "do not listen to MIDI. Otherwise every MIDI note-on (on any\n"
     "channel, or the one --midi-channel names) plays one of voices\n"
     "4 to 9, the one whose last note is oldest, at the MIDI note\n"
     "+ 4; note-off, velocity and controllers have no effect.",
     cli::setFlag<Options, &Options::noMidi>},
    {"--midi-channel", "N",
     "play only the note-ons of MIDI channel N, 1 to 16; the others\n"
     "are ignored.",
     takeMidiChannel},
    {"--device", "NAME",
     "play to the output NAME instead of the default: on Linux an\n"
     "ALSA device (hw:1, plughw:Headphones, pulse, one defined in\n"
     "~/.asoundrc), on Windows a wave-out device's number or a part\n"
     "of its name that no other has; --list-devices shows them. One\n"
     "that cannot be opened at start is an error (status 2); one\n"
     "lost while playing is opened again about once a second.",
     takeDevice},
    {"--list-devices", nullptr, "show the outputs --device takes, one a line, and exit",
     cli::setFlag<Options, &Options::listDevices>},
    {"--gain", "DB",
     "play DB decibels louder or softer, -40 to +6 (default 0: as\n"
     "rendered, which peaks about 10 dB over full scale; -12 leaves\n"
     "headroom). A take keeps the sound as rendered, before the\n"
     "gain.",
     takeGain},
    {"--quiet", nullptr, "show the key help, but no status or index lines",
     cli::setFlag<Options, &Options::quiet>},
    {"--meter", nullptr,
     "show the key help and, beneath it, one line redrawn a few\n"
     "times a second: the reverb's damping, delay set and bypass,\n"
     "a level bar that shows when the output clips, and the ring's\n"
     "period, buffers and queued sound.",
     cli::setFlag<Options, &Options::meter>},
    {"--headless", nullptr,
     "run as a service does: leave standard input and the terminal\n"
     "alone, print nothing, play MIDI, and end with status 0 on\n"
     "SIGTERM, SIGINT or SIGHUP (on Windows Ctrl-C, Ctrl-Break or\n"
     "the console closing), finishing any take.",
     cli::setFlag<Options, &Options::headless>},
    {"--help", nullptr, "show this help and exit", cli::setFlag<Options, &Options::help>},
    {"--version", nullptr, "show the version and exit", cli::setFlag<Options, &Options::version>},
};

// "usage: consynth [--record NAME] ...": every option but --help and --version, in lines
// of at most 80 columns.
std::string synopsis() {
  std::string text = "usage: consynth";
  size_t lineStart = 0;
  for (const cli::Option<Options>& option : kOptions) {
    const std::string name = option.name;
    if (name == "--help" || name == "--version") continue;
    const std::string word =
        " [" + name + (option.value ? std::string(" ") + option.value : "") + "]";
    if (text.size() - lineStart + word.size() > 80) {
      text += "\n";
      lineStart = text.size();
      text += std::string(15, ' ');
    }
    text += word;
  }
  return text + "\n       consynth --help | --version\n";
}

// What no single row can check: options that contradict each other.
std::string contradiction(const Options& options) {
  if (options.headless && (options.quiet || options.meter)) {
    return std::string("--headless prints nothing: it takes no ") +
           (options.quiet ? "--quiet" : "--meter");
  }
  if (options.quiet && options.meter) return "--quiet and --meter: choose one";
  if (options.noMidi && options.midiChannel != 0) return "--midi-channel with --no-midi";
  return {};
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
    "wave-out device on Windows), or the one --device names, as 32-bit float stereo\n"
    "at 44,100 Hz; to a device that takes only integers, as the widest it takes,\n"
    "rounded to nearest and clipped at full scale. Without the default output the\n"
    "program plays silently. The console shows the keys and a status line per buffer.\n"
    "\n"
    "Exit status: 0 when quit with a key, or with --headless by a signal; 1 when a\n"
    "take lost sound (a message on standard error says what and why); 2 for a wrong\n"
    "command line, an output --device names that cannot be opened, or take files that\n"
    "exist or cannot be made; 128+N when ended by signal N.\n";

}  // namespace

CommandLine parseCommandLine(int argc, const char* const* argv) {
  CommandLine line;
  const cli::Reading reading = cli::read<Options>(kOptions, argc, argv, line.options);
  line.error = reading.error;
  if (line.error.empty() && !reading.operands.empty()) {
    line.error = "unexpected argument " + consynth::quoted(reading.operands.front());
  }
  if (line.error.empty()) line.error = contradiction(line.options);
  return line;
}

std::string usageText() {
  return synopsis();
}

// The sound queued ahead of the buffer being rendered for each --period and --periods.
std::string latencyTable() {
  std::string text =
      "Latency: the sound queued ahead of the buffer being rendered, N-1 periods, in ms\n"
      "(a device that takes no period as short as asked for queues its own longer one):\n"
      "  --period    --periods 2     3     4     5     6\n";
  for (unsigned period = kMinFramesPerBuffer; period <= kFramesPerBuffer; period *= 2) {
    char row[80];
    int used = std::snprintf(row, sizeof row, "  %-6u              ", period);
    for (unsigned periods = kMinBufferCount; periods <= kBufferCount; ++periods) {
      const RingShape shape{period, periods};
      used += std::snprintf(row + used, sizeof row - static_cast<size_t>(used), "%6.1f",
                            1000.0 * shape.queuedFrames() / kSampleRate);
    }
    text += std::string(row) + "\n";
  }
  return text +
         "Measured from a MIDI note-on to its sound through PipeWire, medians: 6.8 ms at\n"
         "--period 64 --periods 3, 8.2 ms at --period 64, 21 ms at --period 128, 73 ms by\n"
         "default; the sound server adds its own part to the table's.\n";
}

std::string helpText() {
  const std::string text = synopsis() +
                           "\nPlays a chord through a live stereo reverb, from the console.\n\n" +
                           kKeys + "\nOptions:\n";
  return text + cli::describe<Options>(kOptions) + "\n" + latencyTable() + "\n" + kSoundAndStatus;
}

}  // namespace consynth
