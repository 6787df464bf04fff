// consynth-render: renders the engine offline, from program-start state, to a WAV file.

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "audio/frame_mixer.h"
#include "tools/events_file.h"
#include "tools/offline_render.h"
#include "tools/output_file.h"
#include "tools/printable.h"
#include "tools/wav_writer.h"

namespace {

constexpr const char* kUsage =
    "usage: consynth-render --frames N [--events FILE] OUT.wav\n"
    "       consynth-render --events FILE OUT.wav     (FILE ends with 'FRAME end')\n"
    "       consynth-render --help | --version\n"
    "\n"
    "Renders N frames (44,100 per second) of the synthesizer from its start-up state,\n"
    "driven by an events file, and writes a 32-bit float stereo WAV file.\n"
    "N is at most 536870905, about 3 h 22 min: the most a WAV file can hold.\n"
    "Without --frames the render stops at the events file's 'end'; a take recorded with\n"
    "consynth --record ends with one. Without --events the synthesizer runs idle.\n"
    "OUT.wav may be - for standard output. A long render shows its progress on standard\n"
    "error when that is a terminal.\n"
    "\n"
    "Events file: one event per line, '#' starts a comment, frames never go backwards:\n"
    "  FRAME noteon VOICE NOTE [PATCH]   voice 0..9, patch default 0x020400FF\n"
    "  FRAME up                          step the damping\n"
    "  FRAME down                        step the delay set\n"
    "  FRAME f5 on | FRAME f5 off        bypass the reverb from that frame on / stop\n"
    "  FRAME end                         stop the render before this frame; comes last\n";

// The engine state is several megabytes: keep it out of the stack.
consynth::FrameMixer mixer;

// A line on standard error, redrawn a few times a second, while a render that takes more
// than a moment runs; only where standard error is a terminal, which someone watches.
class Progress {
 public:
  explicit Progress(uint64_t total) : total_(total), shown_(isatty(fileno(stderr)) != 0) {}

  void show(uint64_t done) {
    if (!shown_) return;
    const Clock::time_point now = Clock::now();
    if (now - start_ < kQuietStart || now - last_ < kRedraw) return;
    last_ = now;
    draw(done, now);
  }

  // Draws the final count, if a line was drawn, and ends the line.
  void finish(uint64_t done) {
    if (!drawn_) return;
    draw(done, Clock::now());
    std::fputc('\n', stderr);
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr auto kQuietStart = std::chrono::milliseconds(500);
  static constexpr auto kRedraw = std::chrono::milliseconds(200);

  void draw(uint64_t done, Clock::time_point now) {
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double speed = static_cast<double>(done) / consynth::kWavSampleRate / seconds;
    std::fprintf(stderr, "\rconsynth-render: %llu of %llu frames (%.0f%%), %.1fx real time ",
                 static_cast<unsigned long long>(done), static_cast<unsigned long long>(total_),
                 100.0 * static_cast<double>(done) / static_cast<double>(total_), speed);
    std::fflush(stderr);
    drawn_ = true;
  }

  const uint64_t total_;
  const bool shown_;
  bool drawn_ = false;
  const Clock::time_point start_ = Clock::now();
  Clock::time_point last_{};
};

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

std::optional<uint64_t> parseFrames(const std::string& text) {
  uint64_t frames = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, frames);
  const bool digitsOnly =
      !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
  if (!digitsOnly || ec != std::errc() || ptr != end || frames > consynth::kMaxWavFrames) {
    return std::nullopt;
  }
  return frames;
}

// What the command line asks for.
struct Options {
  std::optional<uint64_t> frames;  ///< else the events file's `end`
  std::optional<std::string> eventsPath;
  std::string outPath;
};

// Reads the command line into `options`. Returns an exit status when the run ends here
// (help, version or a usage error), else nothing.
std::optional<int> parseArguments(int argc, char** argv, Options& options) {
  std::optional<std::string> framesText;
  std::optional<std::string> outPath;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::puts("consynth-render " CONSYNTH_VERSION);
      return 0;
    }
    if (arg == "--frames" || arg == "--events") {
      if (i + 1 >= argc) return usageError(arg + " needs a value");
      std::optional<std::string>& value = (arg == "--frames") ? framesText : options.eventsPath;
      if (value) return usageError(arg + " given more than once");
      value = argv[++i];
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usageError("unknown option " + consynth::quoted(arg));
    } else if (!outPath) {
      outPath = arg;
    } else {
      return usageError("more than one output file");
    }
  }
  if (!framesText && !options.eventsPath) return usageError("--frames is required");
  if (!outPath) return usageError("no output file given");
  if (outPath->empty()) return usageError("the output file name is empty");
  if (options.eventsPath && options.eventsPath->empty()) {
    return usageError("--events needs a file name");
  }
  if (framesText) {
    options.frames = parseFrames(*framesText);
    if (!options.frames) {
      return usageError("--frames must be a whole number from 0 to " +
                        std::to_string(consynth::kMaxWavFrames));
    }
  }
  options.outPath = *outPath;
  return std::nullopt;
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

// Renders and writes the WAV file; the exit status.
int writeRender(const std::string& outPath, uint64_t frames,
                const std::vector<consynth::Event>& events) {
  consynth::OutputFile out;
  if (!out.open(outPath)) return fileError(outPath, out.error());
  const auto header = consynth::wavHeader(static_cast<uint32_t>(frames));
  bool written = out.write(header.data(), header.size());
  std::vector<unsigned char> bytes;
  Progress progress(frames);
  uint64_t done = 0;
  if (written) {
    consynth::renderEvents(mixer, events, frames, [&](const float* interleaved, uint32_t count) {
      bytes.resize(static_cast<size_t>(count) * consynth::kWavBytesPerFrame);
      consynth::wavFrameBytes(interleaved, count, bytes.data());
      written = out.write(bytes.data(), bytes.size());
      done += count;
      progress.show(done);
      return written;
    });
  }
  progress.finish(done);
  if (!written || !out.commit()) return fileError(outPath, out.error());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const std::optional<int> status = parseArguments(argc, argv, options)) return *status;
  consynth::EventsParse parse;
  if (options.eventsPath) {
    if (const std::optional<int> status = readEvents(*options.eventsPath, parse)) return *status;
  }
  const std::optional<uint64_t> frames = options.frames ? options.frames : parse.endFrame();
  if (!frames) {
    return usageError("--frames is required: " + consynth::printable(*options.eventsPath) +
                      " has no 'end'");
  }
  return writeRender(options.outPath, *frames, parse.events);
}
