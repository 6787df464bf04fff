#include "platform/linux/key_states.h"

#include <algorithm>

namespace consynth::platform {

int KeyStates::cellIndex(Key key) {
  switch (key) {
    case Key::Escape:
      return 0;
    case Key::Left:
      return 1;
    case Key::Up:
      return 2;
    case Key::Right:
      return 3;
    case Key::Down:
      return 4;
    case Key::A:
      return 5;
    case Key::D:
      return 6;
    case Key::F:
      return 7;
    case Key::S:
      return 8;
    case Key::F5:
      return 9;
  }
  return 0;
}

namespace {

using Clock = KeyStates::Clock;

// Counts down to `at` (unset: nothing to do). True when it is due; else shortens the
// time-out `nextMs` to end by it.
bool due(Clock::time_point at, Clock::time_point now, int& nextMs) {
  if (at == Clock::time_point{}) return false;
  if (now >= at) return true;
  nextMs = timeoutUntil(nextMs, at, now);
  return false;
}

}  // namespace

int timeoutUntil(int timeoutMs, Clock::time_point at, Clock::time_point now) {
  const int ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(at - now).count());
  return timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
}

void KeyStates::apply(const KeyEvent& event, bool kittyMode, Clock::time_point now) {
  Cell& cell = cells_[cellIndex(event.key)];
  if (event.action == KeyAction::Release) {
    cell.held.store(false, std::memory_order_relaxed);
    cell.holdUntil = {};
    mergeWaiting(cell);
    cell.mergeAt = {};
    return;
  }
  if (kittyMode) {
    if (event.action == KeyAction::Press) cell.held.store(true, std::memory_order_relaxed);
  } else if (event.key == Key::F5) {
    const bool wasHeld = cell.held.load(std::memory_order_relaxed);
    cell.holdUntil = std::max(cell.holdUntil, now + (wasHeld ? kRepeatHold : kFirstHold));
    cell.held.store(true, std::memory_order_relaxed);
  }
  addPress(cell);
  cell.mergeAt = now + kBacklogLife;
}

void KeyStates::addPress(Cell& cell) {
  // Released after the held state, so a query that takes the press sees that state too.
  uint32_t waiting = cell.waiting.load(std::memory_order_relaxed);
  uint32_t next;
  do {
    next = std::min((waiting & ~kUnseen) + 1, kMaxWaiting) | kUnseen;
  } while (!cell.waiting.compare_exchange_weak(waiting, next, std::memory_order_release,
                                               std::memory_order_relaxed));
}

void KeyStates::mergeWaiting(Cell& cell) {
  // Presses behind one that a query has already seen go; one still unseen stays, alone.
  uint32_t waiting = cell.waiting.load(std::memory_order_relaxed);
  while (!cell.waiting.compare_exchange_weak(waiting, (waiting & kUnseen) ? (kUnseen | 1) : 0,
                                             std::memory_order_relaxed)) {
  }
}

int KeyStates::expireHolds(Clock::time_point now) {
  int nextMs = -1;
  for (Cell& cell : cells_) {
    if (due(cell.mergeAt, now, nextMs)) {
      mergeWaiting(cell);
      cell.mergeAt = {};
    }
    if (due(cell.holdUntil, now, nextMs)) {
      cell.held.store(false, std::memory_order_relaxed);
      cell.holdUntil = {};
    }
  }
  return nextMs;
}

void KeyStates::endOfInput() {
  Cell& escape = cells_[cellIndex(Key::Escape)];
  escape.held.store(true, std::memory_order_relaxed);
  escape.holdUntil = {};
  addPress(escape);
}

uint16_t KeyStates::query(Key key) {
  Cell& cell = cells_[cellIndex(key)];
  uint32_t waiting = cell.waiting.load(std::memory_order_acquire);
  bool fresh = false;
  while (!fresh && (waiting & ~kUnseen) != 0) {
    fresh = cell.waiting.compare_exchange_weak(waiting, (waiting & ~kUnseen) - 1,
                                               std::memory_order_acquire);
  }
  const bool down = fresh || cell.held.load(std::memory_order_relaxed);
  return static_cast<uint16_t>((down ? kKeyDownNow : 0) | (fresh ? kKeyPressedSinceQuery : 0));
}

}  // namespace consynth::platform
