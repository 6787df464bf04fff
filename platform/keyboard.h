#pragma once

#include <chrono>
#include <cstdint>

// Keyboard state as the control loop and the render thread poll it: for each key, is it
// down now, and was it pressed since the previous query of that key.

namespace consynth::platform {

/// The keys the program reads, valued as their virtual-key codes.
enum class Key : int {
  Escape = 0x1B,
  Left = 0x25,
  Up = 0x26,
  Right = 0x27,
  Down = 0x28,
  A = 0x41,
  D = 0x44,
  F = 0x46,
  S = 0x53,
  F5 = 0x74,
};

inline constexpr uint16_t kKeyDownNow = 0x8000;            ///< bit 15: the key is down now
inline constexpr uint16_t kKeyPressedSinceQuery = 0x0001;  ///< bit 0: pressed since last asked

/// From keyboardOpen on, SIGINT, SIGTERM and SIGHUP (on Windows Ctrl-C, Ctrl-Break and the
/// console window closing) quit the program as Escape does, held for good, instead of
/// ending it where it stands, so that it can finish what it writes. A second one ends it
/// at once. Call before keyboardOpen.
void quitOnEndingSignals();

/// The signal that asked the program to quit (see quitOnEndingSignals), 0 if none did.
int quitSignal();

/// Ends the program as `signal`, taken by quitOnEndingSignals, would have ended it: the
/// exit status tells the signal. Call last, after keyboardClose.
[[noreturn]] void endAsSignalled(int signal);

/// Whether the keyboard is read at all.
enum class KeyInput {
  Read,  ///< the terminal's keys (Windows: the system's key state)
  /// None: standard input and the terminal are left alone; every key stays up but Escape,
  /// which an ending signal holds down (see quitOnEndingSignals).
  None,
};

/// Starts reading the keyboard (where that needs anything). Call once, from the main thread.
void keyboardOpen(KeyInput input = KeyInput::Read);

/// Stops reading and gives the console back as it was found. Safe to call more than once.
void keyboardClose();

/// Waits until a key's state may have changed (a key event came: a press, a repeat, a
/// release, the end of input) or `timeout` has passed. From the main thread.
void waitForKeyEvent(std::chrono::milliseconds timeout);

/// Non-blocking state of `key`: kKeyDownNow and kKeyPressedSinceQuery bits. Each key is to
/// be queried from one thread only; the query is cheap enough to make once per frame.
uint16_t keyState(Key key);

}  // namespace consynth::platform
