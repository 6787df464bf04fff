// consynth-render: renders the engine offline, from program-start state, to a WAV file.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "audio/frame_mixer.h"
#include "tools/events_file.h"
#include "tools/offline_render.h"
#include "tools/wav_writer.h"

namespace {

constexpr const char* kUsage =
    "usage: consynth-render --frames N [--events FILE] OUT.wav\n"
    "\n"
    "Renders N frames (44,100 per second) of the synthesizer from its start-up state,\n"
    "driven by an events file, and writes a 32-bit float stereo WAV file.\n"
    "Without --events the synthesizer runs idle.\n"
    "\n"
    "Events file: one event per line, '#' starts a comment, frames never go backwards:\n"
    "  FRAME noteon VOICE NOTE [PATCH]   voice 0..9, patch default 0x020400FF\n"
    "  FRAME up                          step the damping\n"
    "  FRAME down                        step the delay set\n"
    "  FRAME f5 on | FRAME f5 off        bypass the reverb from that frame on / stop\n";

// The engine state is several megabytes: keep it out of the stack.
consynth::FrameMixer mixer;

int usageError(const std::string& message) {
  std::fprintf(stderr, "consynth-render: %s\n%s", message.c_str(), kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string framesText;
  std::string eventsPath;
  std::string outPath;
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
      (arg == "--frames" ? framesText : eventsPath) = argv[++i];
    } else if (!arg.empty() && arg[0] == '-') {
      return usageError("unknown option '" + arg + "'");
    } else if (outPath.empty()) {
      outPath = arg;
    } else {
      return usageError("more than one output file");
    }
  }
  if (framesText.empty()) return usageError("--frames is required");
  if (outPath.empty()) return usageError("no output file given");

  uint64_t frames = 0;
  {
    char* end = nullptr;
    errno = 0;
    const bool digitsOnly = framesText.find_first_not_of("0123456789") == std::string::npos;
    frames = std::strtoull(framesText.c_str(), &end, 10);
    if (!digitsOnly || errno != 0 || *end != '\0' || frames > consynth::kMaxWavFrames) {
      return usageError("--frames must be a whole number from 0 to " +
                        std::to_string(consynth::kMaxWavFrames));
    }
  }

  consynth::EventsParse parse;
  if (!eventsPath.empty()) {
    std::ifstream in(eventsPath);
    if (!in) {
      std::fprintf(stderr, "consynth-render: %s: cannot open: %s\n", eventsPath.c_str(),
                   std::strerror(errno));
      return 2;
    }
    parse = consynth::parseEvents(in);
    if (!parse.ok()) {
      std::fprintf(stderr, "consynth-render: %s:%d: %s\n", eventsPath.c_str(), parse.errorLine,
                   parse.error.c_str());
      return 2;
    }
  }

  // Write beside the target and rename on success, so a failed run leaves no file behind.
  const std::string partialPath = outPath + ".partial";
  std::ofstream out(partialPath, std::ios::binary | std::ios::trunc);
  if (!out) {
    std::fprintf(stderr, "consynth-render: %s: cannot write: %s\n", outPath.c_str(),
                 std::strerror(errno));
    return 2;
  }
  consynth::writeWavHeader(out, static_cast<uint32_t>(frames));
  consynth::renderEvents(mixer, parse.events, frames,
                         [&out](const float* interleaved, uint32_t count) {
                           consynth::writeWavFrames(out, interleaved, count);
                         });
  out.close();

  std::error_code ec;
  if (out.fail()) {
    std::fprintf(stderr, "consynth-render: %s: write failed\n", outPath.c_str());
  } else {
    std::filesystem::rename(partialPath, outPath, ec);
    if (!ec) return 0;
    std::fprintf(stderr, "consynth-render: %s: cannot write: %s\n", outPath.c_str(),
                 ec.message().c_str());
  }
  std::filesystem::remove(partialPath, ec);
  return 2;
}
