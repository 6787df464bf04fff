// The keyboard as the system reports it: GetAsyncKeyState gives, for any key, whether it is
// down now (bit 15) and whether it was pressed since the previous query (bit 0), for the
// whole session, whichever window has the focus. Nothing needs opening.
//
// Where the program is to quit on ending signals, the console's control events (Ctrl-C,
// Ctrl-Break, the window closing) hold Escape down instead of ending the process. Told to
// read no keys, it reports every key up but that Escape.

#include <windows.h>

#include <atomic>
#include <chrono>
#include <iterator>

#include "platform/keyboard.h"

namespace consynth::platform {

namespace {

std::atomic<bool> quitRequested{false};
bool readingKeys = true;
HANDLE closed = nullptr;  ///< set by keyboardClose: the program has finished its work

BOOL WINAPI onConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      // A second one ends the program at once, as the system's own handler does.
      return quitRequested.exchange(true) ? FALSE : TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // The system ends the process once this returns, and at the latest after 5 s.
      quitRequested.store(true);
      WaitForSingleObject(closed, 4500);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void quitOnEndingSignals() {
  closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

// Console events are no signals: the program quits as by Escape.
int quitSignal() {
  return 0;
}

void endAsSignalled(int) {
  ExitProcess(0xC000013A);  // as the system's Ctrl-C handler ends a process
}

void keyboardOpen(KeyInput input) {
  readingKeys = input == KeyInput::Read;
}

void keyboardClose() {
  if (closed != nullptr) SetEvent(closed);
}

// The system tells of no key change, so the keys the control loop reads are looked at every
// millisecond (the timer resolution the program asks for at start) until one goes up or
// down. Only their down-now bits are read, which queries do not change.
void waitForKeyEvent(std::chrono::milliseconds timeout) {
  constexpr Key kLoopKeys[] = {Key::A, Key::S, Key::D, Key::F, Key::Left, Key::Right, Key::Escape};
  auto downKeys = [&] {
    unsigned down = 0;
    for (unsigned i = 0; i < std::size(kLoopKeys); ++i) {
      if (GetAsyncKeyState(static_cast<int>(kLoopKeys[i])) & kKeyDownNow) down |= 1u << i;
    }
    return down | (quitRequested.load() ? 1u << std::size(kLoopKeys) : 0u);
  };
  const unsigned before = downKeys();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline && downKeys() == before)
    Sleep(1);
}

uint16_t keyState(Key key) {
  auto state = readingKeys ? static_cast<uint16_t>(GetAsyncKeyState(static_cast<int>(key))) : 0;
  if (key == Key::Escape && quitRequested.load()) state |= kKeyDownNow;
  return state;
}

}  // namespace consynth::platform
