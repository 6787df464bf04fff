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

void KeyStates::apply(const KeyEvent& event, bool kittyMode, Clock::time_point now) {
  Cell& cell = cells_[cellIndex(event.key)];
  if (event.action == KeyAction::Release) {
    cell.held.store(false, std::memory_order_relaxed);
    cell.holdUntil = {};
    return;
  }
  if (kittyMode) {
    if (event.action == KeyAction::Press) cell.held.store(true, std::memory_order_relaxed);
  } else if (event.key == Key::F5) {
    const bool wasHeld = cell.held.load(std::memory_order_relaxed);
    cell.holdUntil = std::max(cell.holdUntil, now + (wasHeld ? kRepeatHold : kFirstHold));
    cell.held.store(true, std::memory_order_relaxed);
  }
  cell.presses.fetch_add(1, std::memory_order_release);
}

int KeyStates::expireHolds(Clock::time_point now) {
  int nextMs = -1;
  for (Cell& cell : cells_) {
    if (cell.holdUntil == Clock::time_point{}) continue;
    if (now >= cell.holdUntil) {
      cell.held.store(false, std::memory_order_relaxed);
      cell.holdUntil = {};
      continue;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(cell.holdUntil - now);
    const int ms = static_cast<int>(left.count());
    nextMs = nextMs < 0 ? ms : std::min(nextMs, ms);
  }
  return nextMs;
}

void KeyStates::endOfInput() {
  Cell& escape = cells_[cellIndex(Key::Escape)];
  escape.held.store(true, std::memory_order_relaxed);
  escape.holdUntil = {};
  escape.presses.fetch_add(1, std::memory_order_release);
}

uint16_t KeyStates::query(Key key) {
  Cell& cell = cells_[cellIndex(key)];
  const bool fresh = cell.presses.load(std::memory_order_acquire) != cell.reported;
  if (fresh) ++cell.reported;
  const bool down = fresh || cell.held.load(std::memory_order_relaxed);
  return static_cast<uint16_t>((down ? kKeyDownNow : 0) | (fresh ? kKeyPressedSinceQuery : 0));
}

}  // namespace consynth::platform
