// consynth-render: renders the engine offline, from program-start state, to a WAV file.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "cli/command_line.h"
#include "formats/events_file.h"
#include "formats/printable.h"
#include "formats/wav_format.h"
#include "instrument/event_replay.h"
#include "instrument/frame_mixer.h"
#include "platform/new_file.h"
#include "tools/render_progress.h"

namespace {

// What the command line asks for.
struct Options {
  std::optional<uint64_t> frames;  ///< else the events file's `end`
  std::optional<std::string> eventsPath;
  bool help = false;
  bool version = false;
};

std::string takeFrames(Options& options, const std::string& text) {
  uint64_t frames = 0;
  if (!consynth::cli::readWhole(text, frames) || frames > consynth::kMaxWavFrames) {
    return "--frames must be a whole number from 0 to " + std::to_string(consynth::kMaxWavFrames);
  }
  options.frames = frames;
  return {};
}

std::string takeEvents(Options& options, const std::string& path) {
  if (path.empty()) return "--events needs a file name";
  options.eventsPath = path;
  return {};
}

constexpr consynth::cli::Option<Options> kOptions[] = {
    {"--frames", "N",
     "render N frames (44,100 a second), at most 536870905, about\n"
     "3 h 22 min: the most a WAV file can hold. Without it the render\n"
     "stops at the events file's 'end'. They are counted from the\n"
     "file's 'start', if it has one.",
     takeFrames},
    {"--events", "FILE", "play the events in FILE; without it the synthesizer runs idle",
     takeEvents},
    {"--help", nullptr, "show this help and exit", consynth::cli::setFlag<Options, &Options::help>},
    {"--version", nullptr, "show the version and exit",
     consynth::cli::setFlag<Options, &Options::version>},
};

constexpr const char* kUsage =
    "usage: consynth-render --frames N [--events FILE] OUT.wav\n"
    "       consynth-render --events FILE OUT.wav     (FILE ends with 'FRAME end')\n"
    "       consynth-render --help | --version\n";

constexpr const char* kDescription =
    "\n"
    "Renders the synthesizer from its start-up state, driven by an events file, and\n"
    "writes a 32-bit float stereo WAV file. A take recorded with consynth --record ends\n"
    "with an 'end'. OUT.wav may be - for standard output. A long render shows its progress\n"
    "on standard error when that is a terminal.\n"
    "\n"
    "Options:\n";

constexpr const char* kEventsFile =
    "\n"
    "Events file: one event per line, '#' starts a comment, frames never go backwards:\n"
    "  FRAME noteon VOICE NOTE [PATCH]   voice 0..9, patch default 0x020400FF\n"
    "  FRAME up                          step the damping\n"
    "  FRAME down                        step the delay set\n"
    "  FRAME f5 on | FRAME f5 off        bypass the reverb from that frame on / stop\n"
    "  FRAME start                       keep the sound from this frame on; once at most\n"
    "  FRAME end                         stop the render before this frame; comes last\n"
    "A 'start' is where a take's later part begins: the frames before it are rendered,\n"
    "for the state they leave, but not written.\n";

// The engine state is several megabytes: keep it out of the stack.
consynth::FrameMixer mixer;

int usageError(const std::string& message) {
  std::fprintf(stderr, "consynth-render: %s\n%s", message.c_str(), kUsage);
  return 2;
}

// A message about a file (at `where` in it); the name is shown as typed, bytes that are not
// printable escaped.
int fileError(const std::string& path, const std::string& message, const std::string& where = "") {
  std::fprintf(stderr, "consynth-render: %s%s: %s\n", consynth::printable(path).c_str(),
               where.c_str(), message.c_str());
  return 2;
}

// Reads the events file at `path` into `parse`; returns an exit status on failure.
std::optional<int> readEvents(const std::string& path, consynth::EventsParse& parse) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    return fileError(path, std::string("cannot read: ") + std::strerror(EISDIR));
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return fileError(path, std::string("cannot open: ") + std::strerror(errno));
  parse = consynth::parseEvents(in);
  if (!parse.ok()) {
    const std::string line = parse.errorLine > 0 ? ":" + std::to_string(parse.errorLine) : "";
    return fileError(path, parse.error, line);
  }
  return std::nullopt;
}

// Renders up to frame `end` and writes the WAV file of the frames from `start` on; the exit
// status.
int writeRender(const std::string& outPath, uint64_t start, uint64_t end,
                const std::vector<consynth::Event>& events) {
  consynth::platform::NewFile out;
  if (!out.replace(outPath)) return fileError(outPath, "cannot write: " + out.error());
  // Audio bytes would reach the terminal as control sequences.
  if (out.isTerminal()) {
    out.remove();
    return fileError(outPath, "cannot write: audio is not written to a terminal");
  }
  const auto header = consynth::wavHeader(static_cast<uint32_t>(end - start));
  bool written = out.append(header.data(), header.size());
  std::vector<unsigned char> bytes;
  consynth::RenderProgress progress(end);
  uint64_t done = 0;
  if (written) {
    consynth::renderEvents(mixer, events, end, [&](const float* interleaved, uint32_t count) {
      // Frames before the start leave the state the sound starts from, and go no further.
      const auto skipped =
          static_cast<uint32_t>(std::min<uint64_t>(count, start - std::min(start, done)));
      bytes.resize(static_cast<size_t>(count - skipped) * consynth::kWavBytesPerFrame);
      consynth::wavFrameBytes(interleaved + 2 * skipped, count - skipped, bytes.data());
      written = out.append(bytes.data(), bytes.size());
      done += count;
      progress.show(done);
      return written;
    });
  }
  progress.finish(done);
  if (!written || !out.commit()) return fileError(outPath, "write failed: " + out.error());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const consynth::cli::Reading line = consynth::cli::read<Options>(kOptions, argc, argv, options);
  if (!line.error.empty()) return usageError(line.error);
  if (options.help) {
    std::printf("%s%s%s%s", kUsage, kDescription,
                consynth::cli::describe<Options>(kOptions).c_str(), kEventsFile);
    return 0;
  }
  if (options.version) {
    std::puts("consynth-render " CONSYNTH_VERSION);
    return 0;
  }
  if (line.operands.size() > 1) return usageError("more than one output file");
  if (!options.frames && !options.eventsPath) return usageError("--frames is required");
  if (line.operands.empty()) return usageError("no output file given");
  const std::string& outPath = line.operands.front();
  if (outPath.empty()) return usageError("the output file name is empty");

  consynth::EventsParse parse;
  if (options.eventsPath) {
    if (const std::optional<int> status = readEvents(*options.eventsPath, parse)) return *status;
  }
  // --frames counts the frames kept, from the start; an `end` is a frame of the file's.
  const uint64_t start = parse.startFrame();
  const std::optional<uint64_t> end = options.frames ? start + *options.frames : parse.endFrame();
  if (!end) {
    return usageError("--frames is required: " + consynth::printable(*options.eventsPath) +
                      " has no 'end'");
  }
  return writeRender(outPath, start, *end, parse.events);
}
