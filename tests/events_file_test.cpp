#include <gtest/gtest.h>

#include <sstream>

#include "tools/events_file.h"

namespace consynth {
namespace {

EventsParse parse(const std::string& text) {
  std::istringstream in(text);
  return parseEvents(in);
}

TEST(EventsFile, ReadsEveryKindOfEvent) {
  const EventsParse p = parse(
      "# a comment\n"
      "\n"
      "0 noteon 0 36\n"
      "0 noteon 9 -2147483648 0x020400FE   # trailing comment\n"
      "  5\tup\r\n"
      "5 down\n"
      "7 f5 on\n"
      "9 f5 off\n"
      "9 noteon 3 2147483647 4294967295\n");
  ASSERT_TRUE(p.ok()) << p.errorLine << ": " << p.error;
  ASSERT_EQ(p.events.size(), 7u);
  EXPECT_EQ(p.events[0].kind, Event::Kind::NoteOn);
  EXPECT_EQ(p.events[0].patch, 0x020400FFu);
  EXPECT_EQ(p.events[1].voice, 9);
  EXPECT_EQ(p.events[1].note, INT32_MIN);
  EXPECT_EQ(p.events[1].patch, 0x020400FEu);
  EXPECT_EQ(p.events[2].kind, Event::Kind::Up);
  EXPECT_EQ(p.events[2].frame, 5u);
  EXPECT_EQ(p.events[3].kind, Event::Kind::Down);
  EXPECT_EQ(p.events[4].kind, Event::Kind::BypassOn);
  EXPECT_EQ(p.events[5].kind, Event::Kind::BypassOff);
  EXPECT_EQ(p.events[6].note, INT32_MAX);
  EXPECT_EQ(p.events[6].patch, 0xFFFFFFFFu);
}

TEST(EventsFile, RejectsBadLinesNamingTheLine) {
  struct Case {
    const char* text;
    int line;
  };
  const Case cases[] = {
      {"0 noteon 0 36\n0 sing\n", 2},  // unknown word
      {"5 up\n4 down\n", 2},           // frame going backwards
      {"0 noteon 10 36\n", 1},         // voice outside 0..9
      {"0 noteon -1 36\n", 1},
      {"0 noteon 0 2147483648\n", 1},      // note out of 32-bit range
      {"0 noteon 0 36 0x100000000\n", 1},  // patch out of range
      {"0 noteon 0 36 -1\n", 1},
      {"0 noteon 0 3x6\n", 1},          // stray characters
      {"0 noteon 0\n", 1},              // missing note
      {"0 noteon 0 36 1 2\n", 1},       // too many words
      {"\n\n3 up\n3 down\n3 up\n", 5},  // a second up on one frame
      {"3 down\n3 down\n", 2},
      {"0 f5\n", 1},
      {"0 f5 maybe\n", 1},
      {"0 up now\n", 1},
      {"-1 up\n", 1},  // frames are never negative
      {"99999999999999999999999 up\n", 1},
      {"up\n", 1},
      {"0x10 up\n", 1},
  };
  for (const Case& c : cases) {
    const EventsParse p = parse(c.text);
    EXPECT_FALSE(p.ok()) << c.text;
    EXPECT_EQ(p.errorLine, c.line) << c.text;
    EXPECT_TRUE(p.events.empty()) << c.text;
  }
}

TEST(EventsFile, UpAndDownMayRepeatOnLaterFrames) {
  const EventsParse p = parse("3 up\n3 down\n4 up\n4 down\n4 noteon 0 1\n");
  EXPECT_TRUE(p.ok()) << p.error;
}

}  // namespace
}  // namespace consynth
