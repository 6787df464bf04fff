// libFuzzer target: any bytes as a MIDI stream, and as the sequencer events and Windows
// short messages the other back ends turn into bytes. Beyond the sanitizers' findings,
// checks what the decoder promises.

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/midi_decoder.h"

namespace {

using consynth::platform::kNoNote;
using consynth::platform::MidiDecoder;

void require(bool condition) {
  if (!condition) std::abort();
}

bool isRealTime(uint8_t byte) {
  return byte >= 0xF8;
}

// The notes of the stream; each must be the data byte before the velocity that completed it.
std::vector<int> decode(const uint8_t* data, size_t size) {
  std::vector<int> notes;
  MidiDecoder decoder;
  int previous = -1;  // the last byte that is not real-time
  for (size_t i = 0; i < size; ++i) {
    const int note = decoder.feed(data[i]);
    if (note != kNoNote) {
      require(note >= 0 && note <= 127 && note == previous);
      require(data[i] >= 1 && data[i] <= 127);
      notes.push_back(note);
    }
    if (!isRealTime(data[i])) previous = data[i];
  }
  return notes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Real-time bytes may come anywhere and change nothing.
  const std::vector<int> notes = decode(data, size);
  std::vector<uint8_t> withoutRealTime;
  for (size_t i = 0; i < size; ++i) {
    if (!isRealTime(data[i])) withoutRealTime.push_back(data[i]);
  }
  require(decode(withoutRealTime.data(), withoutRealTime.size()) == notes);

  // Sequencer events: a note-on plays its note exactly when note and velocity are MIDI's.
  for (size_t i = 0; i + 3 <= size; i += 3) {
    const auto bytes = consynth::platform::sequencerNoteOnBytes(data[i], data[i + 1], data[i + 2]);
    int played = kNoNote;
    consynth::platform::decodePacket(bytes.data(), bytes.size(), [&](int channel, int note) {
      require(played == kNoNote && channel == (data[i] & 0x0F));
      played = note;
    });
    const bool valid = data[i + 1] <= 127 && data[i + 2] >= 1 && data[i + 2] <= 127;
    require(played == (valid ? data[i + 1] : kNoNote));
  }
  // Windows short messages: at most one note each.
  for (size_t i = 0; i + 4 <= size; i += 4) {
    const uint32_t packed =
        data[i] | data[i + 1] << 8 | data[i + 2] << 16 | static_cast<uint32_t>(data[i + 3]) << 24;
    const auto bytes = consynth::platform::shortMessageBytes(packed);
    int count = 0;
    consynth::platform::decodePacket(bytes.data(), bytes.size(), [&](int, int) { ++count; });
    require(count <= 1);
  }
  return 0;
}
