// Terminal bytes to key events: legacy sequences, the kitty protocol, split reads, garbage.

#include "platform/linux/key_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace consynth::platform {
namespace {

struct Seen {
  Key key;
  KeyAction action;
  bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Seen& seen) {
  return out << "key 0x" << std::hex << static_cast<int>(seen.key) << " action "
             << static_cast<int>(seen.action);
}

constexpr KeyAction kPress = KeyAction::Press;
constexpr KeyAction kRepeat = KeyAction::Repeat;
constexpr KeyAction kRelease = KeyAction::Release;

// Feeds `bytes` in reads of `chunk` bytes (0: all at once) and collects what comes out;
// a time-out is applied at the end if the decoder still waits.
std::vector<Seen> decode(const std::string& bytes, KeyDecoder& decoder, bool timeOut = true) {
  std::vector<Seen> seen;
  for (char c : bytes) {
    const Decoded d = decoder.feed(static_cast<uint8_t>(c));
    if (d.hasEvent) seen.push_back({d.event.key, d.event.action});
  }
  if (timeOut && decoder.waiting()) {
    const Decoded d = decoder.timeOut();
    if (d.hasEvent) seen.push_back({d.event.key, d.event.action});
  }
  return seen;
}

std::vector<Seen> decode(const std::string& bytes) {
  KeyDecoder decoder;
  return decode(bytes, decoder);
}

TEST(KeyDecoderLegacyTest, LettersInEitherCaseArePresses) {
  EXPECT_EQ(decode("asdfASDF"), (std::vector<Seen>{{Key::A, kPress},
                                                   {Key::S, kPress},
                                                   {Key::D, kPress},
                                                   {Key::F, kPress},
                                                   {Key::A, kPress},
                                                   {Key::S, kPress},
                                                   {Key::D, kPress},
                                                   {Key::F, kPress}}));
  EXPECT_EQ(decode("qwe 1\r\n\x7f"), std::vector<Seen>{});
}

TEST(KeyDecoderLegacyTest, ArrowsInBothFormsAndF5) {
  EXPECT_EQ(
      decode("\x1b[A\x1b[B\x1b[C\x1b[D"),
      (std::vector<Seen>{
          {Key::Up, kPress}, {Key::Down, kPress}, {Key::Right, kPress}, {Key::Left, kPress}}));
  EXPECT_EQ(
      decode("\x1bOA\x1bOB\x1bOC\x1bOD"),
      (std::vector<Seen>{
          {Key::Up, kPress}, {Key::Down, kPress}, {Key::Right, kPress}, {Key::Left, kPress}}));
  EXPECT_EQ(decode("\x1b[15~"), (std::vector<Seen>{{Key::F5, kPress}}));
  // With modifiers, the key is still the key.
  EXPECT_EQ(decode("\x1b[1;5D\x1b[15;2~"),
            (std::vector<Seen>{{Key::Left, kPress}, {Key::F5, kPress}}));
  // Other function keys are not F5.
  EXPECT_EQ(decode("\x1b[17~\x1b[11~\x1bOP\x1b[H"), std::vector<Seen>{});
}

TEST(KeyDecoderLegacyTest, LoneEscapeIsEscapeOnlyAfterTheTimeOut) {
  KeyDecoder decoder;
  EXPECT_EQ(decode("\x1b", decoder, false), std::vector<Seen>{});
  EXPECT_TRUE(decoder.waiting());
  const Decoded d = decoder.timeOut();
  ASSERT_TRUE(d.hasEvent);
  EXPECT_EQ(d.event.key, Key::Escape);
  EXPECT_FALSE(decoder.waiting());

  // Two ESCs: the first is Escape at once, the second after its own time-out.
  EXPECT_EQ(decode("\x1b\x1b"), (std::vector<Seen>{{Key::Escape, kPress}, {Key::Escape, kPress}}));
}

TEST(KeyDecoderLegacyTest, CtrlCQuitsLikeEscape) {
  EXPECT_EQ(decode("\x03"), (std::vector<Seen>{{Key::Escape, kPress}}));
}

TEST(KeyDecoderLegacyTest, AltWithALetterIsTheLetter) {
  EXPECT_EQ(decode("\x1b"
                   "a"),
            (std::vector<Seen>{{Key::A, kPress}}));
}

TEST(KeyDecoderSplitTest, SequencesSplitAcrossReadsDecodeTheSame) {
  const std::string bytes =
      "a\x1b[D\x1bOC\x1b[15~\x1b[97;1:3u\x1b[1;1:2A"
      "f";
  const std::vector<Seen> whole = decode(bytes);
  ASSERT_EQ(whole.size(), 7u);
  for (size_t cut = 1; cut < bytes.size(); ++cut) {
    KeyDecoder decoder;
    std::vector<Seen> parts = decode(bytes.substr(0, cut), decoder, false);
    const std::vector<Seen> rest = decode(bytes.substr(cut), decoder, true);
    parts.insert(parts.end(), rest.begin(), rest.end());
    EXPECT_EQ(parts, whole) << "split at byte " << cut;
  }
}

TEST(KeyDecoderKittyTest, PressRepeatAndReleaseOfLetters) {
  EXPECT_EQ(decode("\x1b[97u\x1b[97;1:2u\x1b[97;1:3u"),
            (std::vector<Seen>{{Key::A, kPress}, {Key::A, kRepeat}, {Key::A, kRelease}}));
  // Shift or Caps Lock does not change the key; the code of the shifted key is accepted.
  EXPECT_EQ(decode("\x1b[115;2u\x1b[100;65:1u\x1b[70;1:3u"),
            (std::vector<Seen>{{Key::S, kPress}, {Key::D, kPress}, {Key::F, kRelease}}));
}

TEST(KeyDecoderKittyTest, ArrowsF5AndEscapeWithEventTypes) {
  EXPECT_EQ(decode("\x1b[1;1:3D\x1b[1;1:2C\x1b[15;1:3~\x1b[27u\x1b[27;1:3u"),
            (std::vector<Seen>{{Key::Left, kRelease},
                               {Key::Right, kRepeat},
                               {Key::F5, kRelease},
                               {Key::Escape, kPress},
                               {Key::Escape, kRelease}}));
  EXPECT_EQ(decode("\x1b[57419u\x1b[57420;1:3u"),
            (std::vector<Seen>{{Key::Up, kPress}, {Key::Down, kRelease}}));
}

TEST(KeyDecoderKittyTest, CtrlCIsEscapeButPlainCIsNothing) {
  EXPECT_EQ(decode("\x1b[99;5u\x1b[99u\x1b[99;2u"), (std::vector<Seen>{{Key::Escape, kPress}}));
}

// Which of the decoder's non-key signals `bytes` give, in order: 'k' kitty reply,
// 'c' device attributes reply, 'z' suspend.
std::string signals(const std::string& bytes) {
  KeyDecoder decoder;
  std::string seen;
  for (char c : bytes) {
    const Decoded d = decoder.feed(static_cast<uint8_t>(c));
    if (d.kittyReply) seen += 'k';
    if (d.attributesReply) seen += 'c';
    if (d.suspend) seen += 'z';
  }
  return seen;
}

TEST(KeyDecoderKittyTest, TheTerminalsRepliesAreRecognisedAndCarryNoKeys) {
  EXPECT_EQ(signals("\x1b[?0u\x1b[?62;22c\x1b[?1;2c\x1b[?11u"), "kcck");
  // Secondary attributes and other private replies are nothing.
  EXPECT_EQ(signals("\x1b[>1;10;0c\x1b[?1;2$y\x1b[=1u"), "");
  EXPECT_EQ(decode("\x1b[?62;22c\x1b[>1;10;0c\x1b[?1u"
                   "a"),
            (std::vector<Seen>{{Key::A, kPress}}));
}

TEST(KeyDecoderTest, CtrlZAsksToSuspendOnceInEitherForm) {
  EXPECT_EQ(signals("\x1a"), "z");
  // The kitty protocol reports it pressed (with or without Shift), repeated and released:
  // only the press counts, and plain z is no request.
  EXPECT_EQ(signals("\x1b[122;5u\x1b[122;5:2u\x1b[122;5:3u\x1b[122;6u\x1b[122u\x1b[122;3u"), "zz");
  EXPECT_EQ(decode("\x1a\x1b[122;5u"), std::vector<Seen>{});
}

TEST(KeyDecoderGarbageTest, JunkNeverHidesTheKeysAroundIt) {
  EXPECT_EQ(decode("\xff\xfe"
                   "a\x1b[999999999999999999;;;;;:::D"
                   "s"),
            (std::vector<Seen>{{Key::A, kPress}, {Key::Left, kPress}, {Key::S, kPress}}));
  // A sequence cut off by a control byte or a new ESC is dropped, the next one read.
  EXPECT_EQ(decode("\x1b[1\n"
                   "d\x1b[12\x1b[C"),
            (std::vector<Seen>{{Key::D, kPress}, {Key::Right, kPress}}));
  // An over-long sequence is skipped to its end.
  EXPECT_EQ(decode("\x1b[" + std::string(100, '1') + "A" + "f"),
            (std::vector<Seen>{{Key::F, kPress}}));
  // UTF-8 text is not letters.
  EXPECT_EQ(decode("\xc3\xa4\xe2\x82\xac"), std::vector<Seen>{});
}

}  // namespace
}  // namespace consynth::platform
