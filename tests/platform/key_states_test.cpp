// Held keys from terminal events: exact with the kitty protocol, emulated without it.

#include "platform/linux/key_states.h"

#include <gtest/gtest.h>

namespace consynth::platform {
namespace {

using namespace std::chrono_literals;
using Clock = KeyStates::Clock;

constexpr KeyEvent press(Key key) {
  return {key, KeyAction::Press};
}
constexpr KeyEvent repeat(Key key) {
  return {key, KeyAction::Repeat};
}
constexpr KeyEvent release(Key key) {
  return {key, KeyAction::Release};
}

bool down(KeyStates& keys, Key key) {
  return keys.query(key) & kKeyDownNow;
}
bool pressed(KeyStates& keys, Key key) {
  return keys.query(key) & kKeyPressedSinceQuery;
}

const Clock::time_point t0 = Clock::time_point{} + 1h;

// How many of `polls` consecutive queries find `key` down.
int downCount(KeyStates& keys, Key key, int polls) {
  int n = 0;
  for (int i = 0; i < polls; ++i)
    n += down(keys, key);
  return n;
}

TEST(KeyStatesLegacyTest, ATapIsDownForExactlyOnePoll) {
  KeyStates keys;
  EXPECT_FALSE(down(keys, Key::A));
  keys.apply(press(Key::A), false, t0);
  EXPECT_EQ(downCount(keys, Key::A, 5), 1);
}

TEST(KeyStatesLegacyTest, AutoRepeatsKeepANoteKeyRetriggering) {
  KeyStates keys;
  keys.apply(press(Key::A), false, t0);
  int polls = 0;
  int downs = 0;
  // Auto-repeat every 33 ms, polled every 32 ms: about one trigger per poll.
  for (int i = 1; i <= 30; ++i) {
    keys.apply(repeat(Key::A), false, t0 + i * 33ms);
    downs += down(keys, Key::A);
    ++polls;
  }
  EXPECT_EQ(downs, polls);
}

TEST(KeyStatesLegacyTest, EventsBetweenTwoQueriesAreEachReported) {
  KeyStates keys;
  keys.apply(press(Key::Up), false, t0);
  keys.apply(press(Key::Up), false, t0);
  EXPECT_TRUE(pressed(keys, Key::Up));
  EXPECT_TRUE(pressed(keys, Key::Up));
  EXPECT_FALSE(pressed(keys, Key::Up));
}

// Plays `count` events of `key`, one every `interval` from t0, against a poll every 32 ms
// that first lets the reader expire what is due, as its timer would. Returns how long after
// the last event the key was last seen down, and counts the polls that saw it down.
Clock::duration lastDownAfterEvents(KeyStates& keys, Key key, bool kittyMode, int count,
                                    Clock::duration interval, int& downs) {
  const Clock::time_point last = t0 + (count - 1) * interval;
  Clock::time_point next = t0;
  Clock::time_point lastDown{};
  downs = 0;
  int sent = 0;
  for (Clock::time_point poll = t0 + 7ms; poll < last + 2s; poll += 32ms) {
    for (; sent < count && next <= poll; ++sent, next += interval) {
      keys.apply(sent == 0 ? press(key) : repeat(key), kittyMode, next);
      if (sent == count - 1 && kittyMode) keys.apply(release(key), true, next);
    }
    keys.expireHolds(poll);
    if (down(keys, key)) {
      ++downs;
      lastDown = poll;
    }
  }
  return lastDown - last;
}

TEST(KeyStatesTest, PressesFasterThanThePollStopActingSoonAfterTheLastEvent) {
  struct Case {
    const char* what;
    Key key;
    bool kittyMode;
    int count;
    Clock::duration interval;
    Clock::duration bound;  ///< how long after the last event the key may still act
  };
  // With releases, nothing waits past the poll that follows the release.
  for (const Case& c :
       {Case{"300 taps of A in 23 ms", Key::A, false, 300, 77us, KeyStates::kBacklogLife},
        Case{"Left auto-repeating every 16 ms for 2 s", Key::Left, false, 125, 16ms,
             KeyStates::kBacklogLife},
        Case{"Right held 2 s, repeating every 16 ms", Key::Right, true, 125, 16ms, 31ms}}) {
    KeyStates keys;
    int downs = 0;
    const auto after = lastDownAfterEvents(keys, c.key, c.kittyMode, c.count, c.interval, downs);
    EXPECT_LE(after, c.bound) << c.what;
    EXPECT_GE(downs, 1) << c.what;
  }
}

TEST(KeyStatesTest, APressNoQueryHasSeenOutlivesTheMerge) {
  KeyStates keys;
  for (int i = 0; i < 300; ++i)
    keys.apply(press(Key::D), false, t0);
  keys.apply(press(Key::Up), true, t0);
  keys.apply(release(Key::Up), true, t0 + 1ms);
  keys.expireHolds(t0 + 10s);
  EXPECT_EQ(downCount(keys, Key::D, 5), 1);
  EXPECT_EQ(keys.query(Key::Up), kKeyDownNow | kKeyPressedSinceQuery);
  EXPECT_EQ(keys.query(Key::Up), 0);
}

TEST(KeyStatesLegacyTest, F5StaysDownAcrossTheAutoRepeatPauseAndEndsAfterTheLastRepeat) {
  KeyStates keys;
  keys.apply(press(Key::F5), false, t0);
  // The pause before auto-repeat: still held.
  EXPECT_GT(keys.expireHolds(t0 + 500ms), 0);
  EXPECT_EQ(downCount(keys, Key::F5, 100), 100);
  // Repeats every 40 ms from 600 ms to 2 s.
  Clock::time_point last = t0;
  for (auto at = t0 + 600ms; at <= t0 + 2000ms; at += 40ms) {
    keys.apply(repeat(Key::F5), false, at);
    keys.expireHolds(at + 39ms);
    EXPECT_TRUE(down(keys, Key::F5));
    last = at;
  }
  keys.expireHolds(last + KeyStates::kRepeatHold - 1ms);
  keys.query(Key::F5);
  EXPECT_TRUE(down(keys, Key::F5));
  EXPECT_EQ(keys.expireHolds(last + KeyStates::kRepeatHold), -1);
  EXPECT_FALSE(down(keys, Key::F5));
}

TEST(KeyStatesLegacyTest, AnF5TapBypassesForTheFirstHoldOnly) {
  KeyStates keys;
  keys.apply(press(Key::F5), false, t0);
  EXPECT_EQ(keys.expireHolds(t0 + 100ms), 600);
  keys.expireHolds(t0 + KeyStates::kFirstHold);
  keys.query(Key::F5);  // the press itself
  EXPECT_FALSE(down(keys, Key::F5));
}

TEST(KeyStatesKittyTest, HeldFromPressToReleaseWhateverTheTime) {
  KeyStates keys;
  keys.apply(press(Key::A), true, t0);
  EXPECT_EQ(keys.expireHolds(t0 + 10s), -1);
  EXPECT_EQ(downCount(keys, Key::A, 50), 50);
  keys.apply(release(Key::A), true, t0 + 10s);
  EXPECT_FALSE(down(keys, Key::A));
}

TEST(KeyStatesKittyTest, AQuickTapBetweenTwoPollsIsStillSeenOnce) {
  KeyStates keys;
  keys.apply(press(Key::S), true, t0);
  keys.apply(release(Key::S), true, t0 + 5ms);
  EXPECT_EQ(downCount(keys, Key::S, 3), 1);
}

TEST(KeyStatesKittyTest, F5BypassEndsOnRelease) {
  KeyStates keys;
  keys.apply(press(Key::F5), true, t0);
  keys.apply(repeat(Key::F5), true, t0 + 600ms);
  EXPECT_EQ(downCount(keys, Key::F5, 10), 10);
  keys.apply(release(Key::F5), true, t0 + 700ms);
  keys.query(Key::F5);  // the repeat, reported once
  keys.query(Key::F5);
  EXPECT_FALSE(down(keys, Key::F5));
}

TEST(KeyStatesTest, EndOfInputHoldsEscapeForGood) {
  KeyStates keys;
  keys.endOfInput();
  EXPECT_EQ(keys.query(Key::Escape), kKeyDownNow | kKeyPressedSinceQuery);
  EXPECT_EQ(keys.query(Key::Escape), kKeyDownNow);
  EXPECT_EQ(keys.expireHolds(t0 + 1h), -1);
  EXPECT_TRUE(down(keys, Key::Escape));
}

TEST(KeyStatesTest, KeysAreIndependent) {
  KeyStates keys;
  keys.apply(press(Key::Left), true, t0);
  EXPECT_FALSE(down(keys, Key::Right));
  EXPECT_FALSE(down(keys, Key::Escape));
  EXPECT_TRUE(down(keys, Key::Left));
}

}  // namespace
}  // namespace consynth::platform
