#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "platform/keyboard.h"
#include "platform/linux/key_decoder.h"

namespace consynth::platform {

/// A poll time-out in milliseconds (-1: none), shortened where need be to end at `at`;
/// rounded up, so the wait never ends before it.
int timeoutUntil(int timeoutMs, std::chrono::steady_clock::time_point at,
                 std::chrono::steady_clock::time_point now);

/// Each key's state, kept by the thread that reads the terminal and queried by the threads
/// that play: a query costs one or two atomic loads, and a compare-exchange when it takes a
/// press.
///
/// Terminals that speak the kitty keyboard protocol report presses, repeats and releases,
/// which gives the true held state. Others send a key only when it goes down and again on
/// each auto-repeat; there a key counts as down for the one query that follows each of
/// those events, so a tap plays one note and a held key re-triggers at the auto-repeat
/// rate. F5, whose bypass must last for every frame while it is held, is instead held for a
/// while after each event, long enough to bridge the pause before auto-repeat sets in.
///
/// Presses that come faster than the queries take them wait their turn, but not for long:
/// kBacklogLife after a key's last event (at once when it is released) those still waiting
/// are merged, so a burst or a fast auto-repeat never acts long after the key was let go.
/// A press that no query has seen yet is never lost in the merge.
class KeyStates {
 public:
  using Clock = std::chrono::steady_clock;

  /// Without release events, F5 is held this long after a first press (auto-repeat starts
  /// within it) and this long after each repeat (which come every 30 to 50 ms).
  static constexpr auto kFirstHold = std::chrono::milliseconds(700);
  static constexpr auto kRepeatHold = std::chrono::milliseconds(150);

  /// How long presses may wait for queries after the key's last event: two polls of the
  /// note keys.
  static constexpr auto kBacklogLife = std::chrono::milliseconds(64);

  /// Reader side: one decoded event, seen at `now`; `kittyMode` tells whether releases come.
  void apply(const KeyEvent& event, bool kittyMode, Clock::time_point now);

  /// Reader side: ends the holds and merges the waiting presses whose time is up. Returns
  /// the milliseconds until the next of those is due, or -1 if none is.
  int expireHolds(Clock::time_point now);

  /// Reader side: the input has ended, which holds Escape for good.
  void endOfInput();

  /// Query side: kKeyDownNow and kKeyPressedSinceQuery. Each key must be queried from one
  /// thread only. Presses are reported one per query.
  uint16_t query(Key key);

 private:
  /// A key's waiting presses: their count, and a flag set while no query has taken one
  /// since the newest arrived.
  static constexpr uint32_t kUnseen = 0x80000000u;
  static constexpr uint32_t kMaxWaiting = 0xFFFFu;

  struct Cell {
    std::atomic<bool> held{false};     ///< written by the reader
    std::atomic<uint32_t> waiting{0};  ///< presses, added by the reader, taken by queries
    Clock::time_point holdUntil{};     ///< end of an emulated hold; the reader's own
    Clock::time_point mergeAt{};       ///< when the waiting presses merge; the reader's own
  };
  static constexpr int kKeyCount = 10;
  static int cellIndex(Key key);
  static void addPress(Cell& cell);
  static void mergeWaiting(Cell& cell);

  Cell cells_[kKeyCount];
};

}  // namespace consynth::platform
