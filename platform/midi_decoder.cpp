#include "platform/midi_decoder.h"

namespace consynth::platform {

namespace {

constexpr uint8_t kNoteOn = 0x90;

// Program change (Cn) and channel pressure (Dn) carry one data byte; the other channel
// messages two.
unsigned dataBytes(uint8_t status) {
  const uint8_t kind = status & 0xF0;
  return kind == 0xC0 || kind == 0xD0 ? 1 : 2;
}

}  // namespace

int MidiDecoder::feed(uint8_t byte) {
  if (byte >= 0xF8) return kNoNote;  // real-time
  if (byte >= 0x80) {
    status_ = byte < 0xF0 ? byte : 0;
    received_ = 0;
    return kNoNote;
  }
  if (status_ == 0) return kNoNote;
  if (++received_ < dataBytes(status_)) {
    note_ = byte;
    return kNoNote;
  }
  received_ = 0;
  const bool noteOn = (status_ & 0xF0) == kNoteOn && byte > 0;
  return noteOn ? note_ : kNoNote;
}

}  // namespace consynth::platform
