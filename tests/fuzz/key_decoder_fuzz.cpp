// libFuzzer target: the terminal key decoder and the held-key state behind it, driven by a
// script of terminal bytes, time-outs, passing time and queries.
//
// Script: each byte is fed to the decoder, except that 0xFF starts a command:
//   FF 00    the read timed out          FF 01 N  N x 10 ms pass, holds expire
//   FF 02 K  key K % 10 is queried       FF 03    the input ends
//   FF FF    the byte 0xFF itself

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>

#include "platform/keyboard.h"
#include "platform/linux/key_decoder.h"
#include "platform/linux/key_states.h"

namespace {

using consynth::platform::Decoded;
using consynth::platform::Key;
using consynth::platform::KeyStates;

constexpr Key kKeys[] = {Key::Escape, Key::Left, Key::Up, Key::Right, Key::Down,
                         Key::A,      Key::D,    Key::F,  Key::S,     Key::F5};

void require(bool condition) {
  if (!condition) std::abort();
}

struct Session {
  consynth::platform::KeyDecoder decoder;
  KeyStates states;
  bool kittyMode = false;
  KeyStates::Clock::time_point now = KeyStates::Clock::time_point{} + std::chrono::hours(1);

  void apply(const Decoded& decoded) {
    if (decoded.kittyReply) kittyMode = true;
    if (!decoded.hasEvent) return;
    bool known = false;
    for (const Key key : kKeys)
      known |= decoded.event.key == key;
    require(known);
    states.apply(decoded.event, kittyMode, now);
  }

  void query(Key key) {
    using consynth::platform::kKeyDownNow;
    using consynth::platform::kKeyPressedSinceQuery;
    const uint16_t state = states.query(key);
    require((state & ~(kKeyDownNow | kKeyPressedSinceQuery)) == 0);
    require(!(state & kKeyPressedSinceQuery) || (state & kKeyDownNow));
  }

  void pass(std::chrono::milliseconds time) {
    now += time;
    const int nextMs = states.expireHolds(now);
    const auto longestHold = std::max(KeyStates::kFirstHold, KeyStates::kRepeatHold);
    require(nextMs >= -1 && nextMs <= longestHold.count());
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Session s;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] != 0xFF || i + 1 == size) {
      s.apply(s.decoder.feed(data[i]));
      continue;
    }
    const uint8_t command = data[++i];
    const uint8_t argument = i + 1 < size ? data[i + 1] : 0;
    switch (command) {
      case 0x00:
        s.apply(s.decoder.timeOut());
        require(!s.decoder.waiting());
        break;
      case 0x01:
        s.pass(std::chrono::milliseconds(10 * argument));
        ++i;
        break;
      case 0x02:
        s.query(kKeys[argument % 10]);
        ++i;
        break;
      case 0x03:
        s.states.endOfInput();
        require(s.states.query(Key::Escape) & consynth::platform::kKeyDownNow);
        break;
      default:
        s.apply(s.decoder.feed(command));
        break;
    }
  }
  for (const Key key : kKeys)
    s.query(key);
  return 0;
}
