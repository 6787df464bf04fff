// libFuzzer target: any bytes as an events file. Beyond the sanitizers' findings, checks
// what a reader of the result relies on.

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>

#include "formats/events_file.h"
#include "formats/wav_format.h"
#include "synth/voice.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::istringstream in(text);
  const consynth::EventsParse parse = consynth::parseEvents(in);

  if (!parse.ok()) {
    // An error keeps no events, names a line of the input, and is short and printable.
    require(parse.events.empty());
    uint64_t lines = 1;
    for (const char c : text)
      lines += c == '\n';
    require(parse.errorLine >= 1 && parse.errorLine <= lines);
    require(parse.error.size() <= 200);
    for (const char c : parse.error)
      require(c >= 0x20 && c < 0x7F);
    return 0;
  }
  // Frames never go backwards; voices exist; a frame steps each control at most once; one
  // start at most, and the sound kept from it fits a WAV file.
  int upsOnFrame = 0;
  int downsOnFrame = 0;
  int starts = 0;
  for (size_t i = 0; i < parse.events.size(); ++i) {
    const consynth::Event& e = parse.events[i];
    if (i > 0) require(e.frame >= parse.events[i - 1].frame);
    if (i == 0 || e.frame != parse.events[i - 1].frame) upsOnFrame = downsOnFrame = 0;
    upsOnFrame += e.kind == consynth::Event::Kind::Up;
    downsOnFrame += e.kind == consynth::Event::Kind::Down;
    require(upsOnFrame <= 1 && downsOnFrame <= 1);
    if (e.kind == consynth::Event::Kind::NoteOn) {
      require(e.voice >= 0 && e.voice < consynth::kVoiceCount);
    }
    starts += e.kind == consynth::Event::Kind::Start;
    require(starts <= 1);
  }
  if (const std::optional<uint64_t> end = parse.endFrame()) {
    require(*end >= parse.startFrame() && *end - parse.startFrame() <= consynth::kMaxWavFrames);
  }
  return 0;
}
