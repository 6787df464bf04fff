#include <gtest/gtest.h>

#include <sstream>

#include "formats/events_file.h"

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
      "9 noteon 3 2147483647 4294967295\n"
      "12 end\n"
      "# only comments after the end\n");
  ASSERT_TRUE(p.ok()) << p.errorLine << ": " << p.error;
  ASSERT_EQ(p.events.size(), 8u);
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
  EXPECT_EQ(p.endFrame(), 12u);
  EXPECT_FALSE(parse("0 up\n").endFrame());
}

TEST(EventsFile, ReadsBackEveryKindOfEventAsWritten) {
  Event noteOn;
  noteOn.frame = UINT64_C(536870904);
  noteOn.voice = 9;
  noteOn.note = INT32_MIN;
  noteOn.patch = 0x020400FEu;
  std::string text = formatEvent(noteOn);
  for (const Event::Kind kind : {Event::Kind::Up, Event::Kind::Down, Event::Kind::BypassOn,
                                 Event::Kind::BypassOff, Event::Kind::Start, Event::Kind::End}) {
    Event event;
    event.frame = noteOn.frame + 1;
    event.kind = kind;
    text += formatEvent(event);
  }
  const EventsParse p = parse(text);
  ASSERT_TRUE(p.ok()) << p.errorLine << ": " << p.error << "\n" << text;
  ASSERT_EQ(p.events.size(), 7u);
  EXPECT_EQ(p.events[0].frame, noteOn.frame);
  EXPECT_EQ(p.events[0].voice, 9);
  EXPECT_EQ(p.events[0].note, INT32_MIN);
  EXPECT_EQ(p.events[0].patch, 0x020400FEu);
  const Event::Kind kinds[] = {Event::Kind::Up,        Event::Kind::Down,  Event::Kind::BypassOn,
                               Event::Kind::BypassOff, Event::Kind::Start, Event::Kind::End};
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(p.events[i + 1].kind, kinds[i]);
    EXPECT_EQ(p.events[i + 1].frame, noteOn.frame + 1);
  }
}

TEST(EventsFile, RejectsBadLinesNamingTheLine) {
  struct Case {
    const char* text;
    uint64_t line;
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
      {"5 end\n6 up\n", 2},  // nothing after the end
      {"5 end\n5 end\n", 2},
      {"5 end now\n", 1},
      {"536870906 end\n", 1},  // longer than a WAV file holds
      {"7 start\n8 start\n", 2},
      {"7 start now\n", 1},
      {"5 end\n6 start\n", 2},
      {"10 start\n536870916 end\n", 2},  // the sound kept is longer than a WAV file holds
  };
  for (const Case& c : cases) {
    const EventsParse p = parse(c.text);
    EXPECT_FALSE(p.ok()) << c.text;
    EXPECT_EQ(p.errorLine, c.line) << c.text;
    EXPECT_TRUE(p.events.empty()) << c.text;
  }
}

TEST(EventsFile, BoundsTheLineLength) {
  std::string longest = "0 up #";
  longest.resize(kMaxEventsLineBytes, 'x');
  EXPECT_TRUE(parse(longest + "\n1 down").ok());  // the last line may lack its '\n'
  const EventsParse p = parse(longest + "\n" + longest + "x\n1 down\n");
  EXPECT_EQ(p.errorLine, 2u);
  EXPECT_NE(p.error.find("longer than"), std::string::npos) << p.error;
}

TEST(EventsFile, MessagesShowInputEscapedAndShort) {
  EXPECT_EQ(parse(std::string("0 \x1B[2J\0x\n", 10)).error, "unknown event '\\x1B[2J\\x00x'");
  const std::string hostile[] = {
      "0 " + std::string(3000, 'w') + "\n", "\x1B]0;title\a up\n",
      "0 up\n\xEF\xBB\xBF"
      "1 up\n",  // a byte order mark is only skipped before the first line
  };
  for (const std::string& text : hostile) {
    const EventsParse p = parse(text);
    EXPECT_FALSE(p.ok());
    EXPECT_LT(p.error.size(), 80u);
    for (const char c : p.error)
      EXPECT_TRUE(c >= 0x20 && c < 0x7F) << p.error;
  }
  EXPECT_TRUE(parse("\xEF\xBB\xBF"
                    "0 up\n")
                  .ok());
}

// A take's later part: the events from the take's start, then where its sound starts.
TEST(EventsFile, AStartMarksWhereTheSoundKeptBegins) {
  const EventsParse p = parse("0 noteon 0 36\n1000 start\n1000 up\n536871905 end\n");
  ASSERT_TRUE(p.ok()) << p.errorLine << ": " << p.error;
  EXPECT_EQ(p.startFrame(), 1000u);
  EXPECT_EQ(p.endFrame(), 536871905u);  // all a WAV file holds, after the start
  EXPECT_EQ(parse("0 up\n").startFrame(), 0u);
}

TEST(EventsFile, UpAndDownMayRepeatOnLaterFrames) {
  const EventsParse p = parse("3 up\n3 down\n4 up\n4 down\n4 noteon 0 1\n");
  EXPECT_TRUE(p.ok()) << p.error;
}

}  // namespace
}  // namespace consynth
