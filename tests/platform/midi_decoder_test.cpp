// MIDI bytes to note-ons, as every back end decodes them, and (on Linux) which sequencer
// ports MIDI input connects to.

#include "platform/midi_decoder.h"

#include <gtest/gtest.h>

#include <vector>

#ifdef __linux__
#include "platform/linux/sequencer_ports.h"
#endif

namespace consynth::platform {
namespace {

using Notes = std::vector<int>;

Notes notesOf(std::vector<uint8_t> bytes) {
  Notes notes;
  MidiDecoder decoder;
  for (const uint8_t byte : bytes) {
    const int note = decoder.feed(byte);
    if (note != kNoNote) notes.push_back(note);
  }
  return notes;
}

template <size_t N>
Notes packetNotes(const std::array<uint8_t, N>& bytes) {
  Notes notes;
  decodePacket(bytes.data(), bytes.size(), [&](int, int note) { notes.push_back(note); });
  return notes;
}

TEST(MidiDecoderTest, NoteOnsOnEveryChannelWithRunningStatus) {
  EXPECT_EQ(notesOf({0x90, 60, 64}), Notes{60});
  EXPECT_EQ(notesOf({0x9F, 0, 1, 127, 127}), (Notes{0, 127}));
  EXPECT_EQ(notesOf({0x95, 60, 64, 62, 64, 64, 100}), (Notes{60, 62, 64}));
}

// Each note-on's channel, as --midi-channel picks them: running status keeps it, a new
// status byte changes it.
TEST(MidiDecoderTest, EachNoteOnComesWithItsChannel) {
  const std::vector<uint8_t> bytes = {0x90, 60, 64,   62, 64, 0x9F, 61, 1, 0xF8,
                                      63,   1,  0x83, 64, 64, 0x93, 65, 9};
  std::vector<std::pair<int, int>> notes;
  MidiDecoder decoder;
  for (const uint8_t byte : bytes) {
    if (const int note = decoder.feed(byte); note != kNoNote)
      notes.push_back({decoder.channel(), note});
  }
  EXPECT_EQ(notes,
            (std::vector<std::pair<int, int>>{{0, 60}, {0, 62}, {15, 61}, {15, 63}, {3, 65}}));
  std::vector<int> channels;
  for (const auto& packet : {shortMessageBytes(0x00403C9A), sequencerNoteOnBytes(7, 60, 100)})
    decodePacket(packet.data(), packet.size(),
                 [&](int channel, int) { channels.push_back(channel); });
  EXPECT_EQ(channels, (std::vector<int>{10, 7}));
}

TEST(MidiDecoderTest, VelocityZeroAndEveryOtherChannelMessagePlayNothing) {
  EXPECT_EQ(notesOf({0x90, 60, 0, 62, 64, 60, 0}), Notes{62});
  EXPECT_EQ(notesOf({0x80, 60, 64, 0xA0, 60, 64, 0xB0, 60, 64, 0xE0, 60, 64}), Notes{});
  EXPECT_EQ(notesOf({0xC0, 60, 64, 0xD0, 60, 64}), Notes{});
}

TEST(MidiDecoderTest, SystemExclusiveAndCommonMessagesEndRunningStatus) {
  EXPECT_EQ(notesOf({0xF0, 0x10, 60, 64, 60, 64, 0xF7, 60, 64}), Notes{});
  EXPECT_EQ(notesOf({0x90, 60, 64, 0xF0, 0x7E, 0xF7, 62, 64}), Notes{60});
  EXPECT_EQ(notesOf({0x90, 60, 64, 0xF6, 62, 64}), Notes{60});
  EXPECT_EQ(notesOf({0xF2, 60, 64, 60, 64}), Notes{});
  // A status byte ends a system exclusive message that lacks its end.
  EXPECT_EQ(notesOf({0xF0, 0x01, 0x02, 0x90, 60, 64}), Notes{60});
}

TEST(MidiDecoderTest, RealTimeBytesAnywhereChangeNothing) {
  EXPECT_EQ(notesOf({0xF8, 0x90, 0xFE, 60, 0xF8, 64, 0xFF, 62, 0xFA, 64}), (Notes{60, 62}));
  EXPECT_EQ(notesOf({0xF0, 0xF8, 1, 0xF7, 0x90, 60, 0xFC, 64}), Notes{60});
}

TEST(MidiDecoderTest, CutShortOrStrayBytesAreDropped) {
  EXPECT_EQ(notesOf({60, 64, 62, 64}), Notes{});
  EXPECT_EQ(notesOf({0x90, 60, 0x91, 62, 64}), Notes{62});
  EXPECT_EQ(notesOf({0x90, 60, 0xF7, 64, 62, 64}), Notes{});
  // Each packet stands alone: the rest of a message cut at the end of one is not a message.
  EXPECT_EQ(packetNotes(std::array<uint8_t, 2>{0x90, 60}), Notes{});
  EXPECT_EQ(packetNotes(std::array<uint8_t, 1>{64}), Notes{});
}

TEST(MidiDecoderTest, ShortMessagesAndSequencerEventsFollowTheSameRules) {
  EXPECT_EQ(packetNotes(shortMessageBytes(0x00403C90)), Notes{60});
  EXPECT_EQ(packetNotes(shortMessageBytes(0x00003C9A)), Notes{});
  EXPECT_EQ(packetNotes(shortMessageBytes(0x000000F8)), Notes{});
  EXPECT_EQ(packetNotes(shortMessageBytes(0x00403CC0)), Notes{});
  EXPECT_EQ(packetNotes(sequencerNoteOnBytes(15, 60, 100)), Notes{60});
  EXPECT_EQ(packetNotes(sequencerNoteOnBytes(0x1F, 61, 1)), Notes{61});
  EXPECT_EQ(packetNotes(sequencerNoteOnBytes(0, 60, 0)), Notes{});
  EXPECT_EQ(packetNotes(sequencerNoteOnBytes(0, 200, 100)), Notes{});
  EXPECT_EQ(packetNotes(sequencerNoteOnBytes(0, 60, 128)), Notes{});
}

#ifdef __linux__
TEST(SequencerPortsTest, ListensToEveryReadablePortOfTheOtherClients) {
  constexpr unsigned kReadable = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
  constexpr int kOwn = 128;
  EXPECT_TRUE(listensTo(20, kReadable, kOwn));  // a keyboard
  EXPECT_TRUE(listensTo(14, kReadable | SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                        kOwn));                  // a through port
  EXPECT_TRUE(listensTo(129, kReadable, kOwn));  // another program
  EXPECT_FALSE(listensTo(kOwn, kReadable, kOwn));
  EXPECT_FALSE(listensTo(SND_SEQ_CLIENT_SYSTEM, kReadable, kOwn));
  EXPECT_FALSE(listensTo(20, SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE, kOwn));
  EXPECT_FALSE(listensTo(20, SND_SEQ_PORT_CAP_READ, kOwn));
  EXPECT_FALSE(listensTo(20, kReadable | SND_SEQ_PORT_CAP_NO_EXPORT, kOwn));
}
#endif

}  // namespace
}  // namespace consynth::platform
