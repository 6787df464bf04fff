#include "platform/linux/key_decoder.h"

namespace consynth::platform {

namespace {

constexpr uint8_t kEsc = 0x1B;
constexpr uint8_t kCtrlC = 0x03;
constexpr uint8_t kCtrlZ = 0x1A;
constexpr uint32_t kCtrlBit = 4;  // in the kitty protocol's modifiers - 1

Decoded event(Key key, KeyAction action = KeyAction::Press) {
  Decoded decoded;
  decoded.hasEvent = true;
  decoded.event = {key, action};
  return decoded;
}

Decoded suspend() {
  Decoded decoded;
  decoded.suspend = true;
  return decoded;
}

bool withCtrl(uint32_t modifiers) {
  return modifiers > 0 && ((modifiers - 1) & kCtrlBit) != 0;
}

// The kitty protocol's event type sub-field: 1 press (also when absent), 2 repeat,
// 3 release.
KeyAction actionOf(uint32_t eventType) {
  if (eventType == 2) return KeyAction::Repeat;
  if (eventType == 3) return KeyAction::Release;
  return KeyAction::Press;
}

bool letterKey(uint32_t code, Key& key) {
  switch (code) {
    case 'a':
    case 'A':
      key = Key::A;
      return true;
    case 's':
    case 'S':
      key = Key::S;
      return true;
    case 'd':
    case 'D':
      key = Key::D;
      return true;
    case 'f':
    case 'F':
      key = Key::F;
      return true;
    default:
      return false;
  }
}

bool arrowKey(uint8_t finalByte, Key& key) {
  switch (finalByte) {
    case 'A':
      key = Key::Up;
      return true;
    case 'B':
      key = Key::Down;
      return true;
    case 'C':
      key = Key::Right;
      return true;
    case 'D':
      key = Key::Left;
      return true;
    default:
      return false;
  }
}

// Key codes of the kitty protocol's `CSI code u` form that the program reads.
bool kittyKey(uint32_t code, uint32_t modifiers, Key& key) {
  if ((code == 'c' || code == 'C') && withCtrl(modifiers)) {
    key = Key::Escape;  // Ctrl-C quits like Escape
    return true;
  }
  if (letterKey(code, key)) return true;
  switch (code) {
    case 27:
      key = Key::Escape;
      return true;
    case 57417:  // keypad arrows
      key = Key::Left;
      return true;
    case 57418:
      key = Key::Right;
      return true;
    case 57419:
      key = Key::Up;
      return true;
    case 57420:
      key = Key::Down;
      return true;
    default:
      return false;
  }
}

}  // namespace

Decoded KeyDecoder::ground(uint8_t byte) {
  if (byte == kEsc) {
    state_ = State::Escape;
    return {};
  }
  if (byte == kCtrlC) return event(Key::Escape);
  if (byte == kCtrlZ) return suspend();
  Key key;
  if (letterKey(byte, key)) return event(key);
  return {};
}

void KeyDecoder::startCsi() {
  state_ = State::Csi;
  for (int f = 0; f < kFieldCount; ++f) {
    for (int s = 0; s < kSubCount; ++s) {
      params_[f][s] = 0;
      present_[f][s] = false;
    }
  }
  field_ = 0;
  sub_ = 0;
  length_ = 0;
  marker_ = 0;
}

Decoded KeyDecoder::feed(uint8_t byte) {
  switch (state_) {
    case State::Ground:
      return ground(byte);
    case State::Escape:
      return afterEscape(byte);
    case State::Ss3:
      return ss3(byte);
    case State::Csi:
      return csi(byte);
  }
  return {};
}

Decoded KeyDecoder::afterEscape(uint8_t byte) {
  if (byte == '[') {
    startCsi();
    return {};
  }
  if (byte == 'O') {
    state_ = State::Ss3;
    return {};
  }
  if (byte == kEsc) return event(Key::Escape);  // the second ESC waits in its turn
  // ESC and a key together is how terminals send Alt+key: read it as the key.
  state_ = State::Ground;
  return ground(byte);
}

Decoded KeyDecoder::ss3(uint8_t byte) {
  state_ = State::Ground;
  Key key;
  if (arrowKey(byte, key)) return event(key);
  if (byte == kEsc) state_ = State::Escape;
  return {};
}

Decoded KeyDecoder::csi(uint8_t byte) {
  if (byte == kEsc) {  // an unfinished sequence, cut off by the next one
    state_ = State::Escape;
    return {};
  }
  if (byte < 0x20 || byte > 0x7E) {  // not part of any sequence: drop it all
    state_ = State::Ground;
    return {};
  }
  if (++length_ > kMaxSequenceLength) {  // garbage: skip to its final byte
    if (byte >= 0x40) state_ = State::Ground;
    return {};
  }
  if (byte >= '0' && byte <= '9') {
    if (field_ < kFieldCount && sub_ < kSubCount) {
      uint32_t& value = params_[field_][sub_];
      value = value > 100000000u ? value : value * 10 + (byte - '0');
      present_[field_][sub_] = true;
    }
    return {};
  }
  if (byte == ';') {
    ++field_;
    sub_ = 0;
    return {};
  }
  if (byte == ':') {
    ++sub_;
    return {};
  }
  if ((byte == '?' || byte == '<' || byte == '=' || byte == '>') && length_ == 1) {
    marker_ = byte;
    return {};
  }
  if (byte >= 0x40) {
    state_ = State::Ground;
    return finishCsi(byte);
  }
  return {};  // intermediate bytes carry nothing we read
}

Decoded KeyDecoder::finishCsi(uint8_t finalByte) {
  if (marker_ == '?' && (finalByte == 'u' || finalByte == 'c')) {
    Decoded decoded;
    decoded.kittyReply = finalByte == 'u';
    decoded.attributesReply = finalByte == 'c';
    return decoded;
  }
  if (marker_ != 0) return {};

  const uint32_t modifiers = present_[1][0] ? params_[1][0] : 1;
  const KeyAction action = actionOf(present_[1][1] ? params_[1][1] : 1);
  Key key;
  if (finalByte == 'u') {
    const uint32_t code = params_[0][0];
    if ((code == 'z' || code == 'Z') && withCtrl(modifiers)) {
      return action == KeyAction::Press ? suspend() : Decoded{};
    }
    if (kittyKey(code, modifiers, key)) return event(key, action);
    return {};
  }
  if (arrowKey(finalByte, key)) return event(key, action);
  if (finalByte == '~' && params_[0][0] == 15) return event(Key::F5, action);
  return {};
}

Decoded KeyDecoder::timeOut() {
  const bool loneEscape = state_ == State::Escape;
  state_ = State::Ground;
  if (loneEscape) return event(Key::Escape);
  return {};
}

}  // namespace consynth::platform
