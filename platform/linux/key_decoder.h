#pragma once

#include <cstdint>

#include "platform/keyboard.h"

namespace consynth::platform {

enum class KeyAction : uint8_t { Press, Repeat, Release };

struct KeyEvent {
  Key key;
  KeyAction action;
};

/// What one byte (or a time-out) completed: at most one key event, one of the terminal's
/// answers to a query, or a request to suspend.
struct Decoded {
  bool hasEvent = false;
  KeyEvent event{Key::Escape, KeyAction::Press};
  bool kittyReply = false;       ///< `CSI ? flags u`: the terminal speaks the kitty protocol
  bool attributesReply = false;  ///< `CSI ? ... c`: the answer to a device attributes query
  bool suspend = false;          ///< Ctrl-Z pressed: the user asks for the shell back
};

/// Turns the bytes a terminal sends into key events, one byte at a time, so reads may split
/// a sequence anywhere. Understands plain letters, Ctrl-C (as Escape), Ctrl-Z, the legacy
/// arrow and F5 sequences (CSI and SS3 forms), and the kitty keyboard protocol's `CSI ... u`
/// keys with their press, repeat and release events. Everything else is skipped.
class KeyDecoder {
 public:
  Decoded feed(uint8_t byte);

  /// True while a lone ESC or an unfinished sequence waits for more bytes.
  bool waiting() const { return state_ != State::Ground; }

  /// No more bytes came in time: a lone ESC is the Escape key; an unfinished sequence is
  /// dropped.
  Decoded timeOut();

 private:
  enum class State : uint8_t { Ground, Escape, Csi, Ss3 };
  static constexpr int kFieldCount = 3;
  static constexpr int kSubCount = 3;
  static constexpr int kMaxSequenceLength = 32;

  // One function a state: the byte that comes in it.
  Decoded ground(uint8_t byte);
  Decoded afterEscape(uint8_t byte);
  Decoded ss3(uint8_t byte);
  Decoded csi(uint8_t byte);
  void startCsi();
  Decoded finishCsi(uint8_t finalByte);

  State state_ = State::Ground;
  // Parameters of the sequence being read: fields split by ';', sub-fields by ':'.
  uint32_t params_[kFieldCount][kSubCount] = {};
  bool present_[kFieldCount][kSubCount] = {};
  int field_ = 0;
  int sub_ = 0;
  int length_ = 0;
  uint8_t marker_ = 0;  ///< '?', '<', '=' or '>' right after the CSI, else 0
};

}  // namespace consynth::platform
