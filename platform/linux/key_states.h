#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "platform/keyboard.h"
#include "platform/linux/key_decoder.h"

namespace consynth::platform {

/// Each key's state, kept by the thread that reads the terminal and queried by the threads
/// that play: a query costs two atomic loads, cheap enough for every frame.
///
/// Terminals that speak the kitty keyboard protocol report presses, repeats and releases,
/// which gives the true held state. Others send a key only when it goes down and again on
/// each auto-repeat; there a key counts as down for the one query that follows each of
/// those events, so a tap plays one note and a held key re-triggers at the auto-repeat
/// rate. F5, whose bypass must last for every frame while it is held, is instead held for a
/// while after each event, long enough to bridge the pause before auto-repeat sets in.
class KeyStates {
 public:
  using Clock = std::chrono::steady_clock;

  /// Without release events, F5 is held this long after a first press (auto-repeat starts
  /// within it) and this long after each repeat (which come every 30 to 50 ms).
  static constexpr auto kFirstHold = std::chrono::milliseconds(700);
  static constexpr auto kRepeatHold = std::chrono::milliseconds(150);

  /// Reader side: one decoded event, seen at `now`; `kittyMode` tells whether releases come.
  void apply(const KeyEvent& event, bool kittyMode, Clock::time_point now);

  /// Reader side: ends the holds whose time is up. Returns the milliseconds until the next
  /// one ends, or -1 if none is running.
  int expireHolds(Clock::time_point now);

  /// Reader side: the input has ended, which holds Escape for good.
  void endOfInput();

  /// Query side: kKeyDownNow and kKeyPressedSinceQuery. Each key must be queried from one
  /// thread only. Presses are reported one per query, so none is lost when several arrive
  /// between two queries.
  uint16_t query(Key key);

 private:
  struct Cell {
    std::atomic<bool> held{false};     ///< written by the reader
    std::atomic<uint32_t> presses{0};  ///< press and repeat events, counted by the reader
    uint32_t reported = 0;             ///< presses already reported; the querier's own
    Clock::time_point holdUntil{};     ///< end of an emulated hold; the reader's own
  };
  static constexpr int kKeyCount = 10;
  static int cellIndex(Key key);

  Cell cells_[kKeyCount];
};

}  // namespace consynth::platform
