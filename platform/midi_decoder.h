#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// MIDI input as the program hears it: note-ons, and nothing else. Every back end (a byte
// stream, a JACK event, a Windows short message, a sequencer event) goes through the one
// decoder below, so hostile input is handled the same way wherever it comes from.

namespace consynth::platform {

inline constexpr int kNoNote = -1;

/// Turns a MIDI byte stream into the notes of its note-ons (velocity above 0) and their channels,
/// one byte at a time, as MIDI 1.0 frames it:
/// - running status: data bytes after a complete channel message start another of its kind;
/// - real-time bytes (F8 to FF) may come anywhere, between data bytes too, and change
///   nothing;
/// - a status byte ends whatever came before it: a message cut short is dropped;
/// - system exclusive and system common messages end running status; their data bytes, and
///   data bytes with no status before them, are skipped.
/// A note-on with velocity 0 is a note-off; note-offs and all other messages have no effect.
class MidiDecoder {
 public:
  /// Takes the next byte; returns the note (0 to 127) of the note-on it completes, else
  /// kNoNote.
  int feed(uint8_t byte);

  /// The channel (0 to 15) of the note-on feed last returned.
  int channel() const { return status_ & 0x0F; }

  /// Forgets the message in progress and the running status.
  void reset() { *this = MidiDecoder(); }

 private:
  uint8_t status_ = 0;  ///< the channel message data bytes belong to; 0: none
  uint8_t received_ = 0;
  uint8_t note_ = 0;  ///< the first data byte of the message in progress
};

/// Decodes one self-contained packet (a JACK event, a Windows short message, a sequencer
/// event's bytes) on its own: running status does not reach from one packet into the next,
/// since packets from several senders arrive merged. Calls noteOn(channel, note) for each
/// note-on, the channel 0 to 15.
template <class NoteOn>
void decodePacket(const uint8_t* bytes, size_t size, NoteOn&& noteOn) {
  MidiDecoder decoder;
  for (size_t i = 0; i < size; ++i) {
    const int note = decoder.feed(bytes[i]);
    if (note != kNoNote) noteOn(decoder.channel(), note);
  }
}

/// The bytes of a Windows short message, packed status first from the lowest byte. Its
/// unused bytes are decoded too: with no status before them they are skipped.
inline std::array<uint8_t, 3> shortMessageBytes(uint32_t packed) {
  return {static_cast<uint8_t>(packed), static_cast<uint8_t>(packed >> 8),
          static_cast<uint8_t>(packed >> 16)};
}

/// The bytes of a sequencer's note-on event. A note or velocity above 127, which no MIDI
/// byte can carry, makes a status byte, and so no note.
inline std::array<uint8_t, 3> sequencerNoteOnBytes(unsigned channel, unsigned note,
                                                   unsigned velocity) {
  return {static_cast<uint8_t>(0x90 | (channel & 0x0F)), static_cast<uint8_t>(note),
          static_cast<uint8_t>(velocity)};
}

}  // namespace consynth::platform
