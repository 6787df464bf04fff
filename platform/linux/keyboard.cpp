// The keyboard on a terminal: stdin in raw mode, read by a thread of its own that decodes
// key sequences and publishes each key's state in atomics, so a query costs two loads.
//
// Terminals that speak the kitty keyboard protocol report presses, repeats and releases,
// which gives the true held state. Others send a key only when it goes down and again on
// each auto-repeat; there a key counts as down for the one query that follows each of those
// events, and F5, which must stay down for every frame while held, is held for a while
// after each event, long enough to bridge the pause before auto-repeat sets in.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/keyboard.h"
#include "platform/linux/key_decoder.h"

namespace consynth::platform {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A lone ESC is the Escape key once this long passes without the rest of a sequence.
constexpr auto kEscapeTimeout = 40ms;
// Legacy F5: held this long after a first press (auto-repeat starts within it) and this
// long after each repeat (which come every 30 to 50 ms).
constexpr auto kFirstHold = 700ms;
constexpr auto kRepeatHold = 150ms;

constexpr const char kKittyQuery[] = "\x1b[?u";
constexpr const char kKittyPush[] = "\x1b[>11u";  // disambiguate, event types, all keys
constexpr const char kKittyPop[] = "\x1b[<u";

struct KeyCell {
  std::atomic<bool> held{false};     ///< written by the reader thread
  std::atomic<uint32_t> presses{0};  ///< press and repeat events, counted by the reader
  uint32_t seen = 0;                 ///< presses already reported; the querier's own
  Clock::time_point holdUntil{};     ///< legacy hold of F5; reader's own
};

constexpr int kKeyCount = 10;
KeyCell cells[kKeyCount];

int cellIndex(Key key) {
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

// Terminal state, shared with the signal handler: only lock-free atomics and plain data
// written before the handler is installed.
termios savedTerminal;
std::atomic<bool> rawModeOn{false};
std::atomic<bool> kittyPushed{false};

int wakePipe[2] = {-1, -1};
std::thread reader;
bool opened = false;

void writeAll(int fd, const char* text, size_t length) {
  while (length > 0) {
    const ssize_t written = write(fd, text, length);
    if (written <= 0) return;
    text += written;
    length -= static_cast<size_t>(written);
  }
}

// Async-signal-safe: gives the terminal back as it was found.
void restoreTerminal() {
  if (kittyPushed.exchange(false)) writeAll(STDIN_FILENO, kKittyPop, sizeof kKittyPop - 1);
  if (rawModeOn.exchange(false)) tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
}

void onFatalSignal(int signalNumber) {
  restoreTerminal();
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

void press(KeyCell& cell) {
  cell.presses.fetch_add(1, std::memory_order_release);
}

void apply(const KeyEvent& event, bool kittyMode, Clock::time_point now) {
  KeyCell& cell = cells[cellIndex(event.key)];
  if (event.action == KeyAction::Release) {
    cell.held.store(false, std::memory_order_relaxed);
    return;
  }
  if (kittyMode) {
    if (event.action == KeyAction::Press) cell.held.store(true, std::memory_order_relaxed);
  } else if (event.key == Key::F5) {
    const bool wasHeld = cell.held.load(std::memory_order_relaxed);
    cell.holdUntil = std::max(cell.holdUntil, now + (wasHeld ? kRepeatHold : kFirstHold));
    cell.held.store(true, std::memory_order_relaxed);
  }
  press(cell);
}

// Ends legacy holds whose time is up; returns how long until the next one ends.
int expireHolds(Clock::time_point now) {
  int nextMs = -1;
  for (KeyCell& cell : cells) {
    if (!cell.held.load(std::memory_order_relaxed) || cell.holdUntil == Clock::time_point{}) {
      continue;
    }
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

void readKeys(bool terminal) {
  KeyDecoder decoder;
  bool kittyMode = false;
  bool inputOpen = true;
  Clock::time_point lastArrival{};
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (decoder.waiting() && now - lastArrival >= kEscapeTimeout) {
      const Decoded decoded = decoder.timeOut();
      if (decoded.hasEvent) apply(decoded.event, kittyMode, now);
    }
    int timeoutMs = expireHolds(now);
    if (decoder.waiting()) {
      const int escapeMs = static_cast<int>(
          std::chrono::ceil<std::chrono::milliseconds>(lastArrival + kEscapeTimeout - now).count());
      timeoutMs = timeoutMs < 0 ? escapeMs : std::min(timeoutMs, escapeMs);
    }

    pollfd fds[2] = {{wakePipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    const int ready = poll(fds, inputOpen ? 2 : 1, timeoutMs);
    if (ready < 0) continue;  // interrupted by a signal
    if (fds[0].revents != 0) return;

    if (ready == 0) continue;  // a hold or the wait after an ESC is up

    uint8_t bytes[256];
    const ssize_t count = read(STDIN_FILENO, bytes, sizeof bytes);
    if (count <= 0) {
      if (count < 0 && errno == EINTR) continue;
      // End of input: Escape, held for good.
      KeyCell& escape = cells[cellIndex(Key::Escape)];
      escape.held.store(true, std::memory_order_relaxed);
      press(escape);
      inputOpen = false;
      continue;
    }
    const Clock::time_point arrival = Clock::now();
    lastArrival = arrival;
    for (ssize_t i = 0; i < count; ++i) {
      const Decoded decoded = decoder.feed(bytes[i]);
      if (decoded.kittyReply && terminal && !kittyMode) {
        writeAll(STDIN_FILENO, kKittyPush, sizeof kKittyPush - 1);
        kittyPushed.store(true);
        kittyMode = true;
      }
      if (decoded.hasEvent) apply(decoded.event, kittyMode, arrival);
    }
  }
}

}  // namespace

void keyboardOpen() {
  if (opened) return;
  opened = true;
  const bool terminal = isatty(STDIN_FILENO) != 0;
  if (terminal && tcgetattr(STDIN_FILENO, &savedTerminal) == 0) {
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
      signal(signalNumber, onFatalSignal);
    }
    std::atexit(restoreTerminal);

    // Keys arrive byte by byte, unechoed, Ctrl-C included; output processing stays on so
    // '\n' still starts a new line.
    termios raw = savedTerminal;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    rawModeOn.store(true);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw);
    // A terminal that speaks the kitty protocol answers this; the reader then enables it.
    writeAll(STDIN_FILENO, kKittyQuery, sizeof kKittyQuery - 1);
  }
  if (pipe(wakePipe) != 0) return;
  reader = std::thread(readKeys, terminal);
}

void keyboardClose() {
  if (reader.joinable()) {
    writeAll(wakePipe[1], "x", 1);
    reader.join();
    close(wakePipe[0]);
    close(wakePipe[1]);
  }
  restoreTerminal();
}

uint16_t keyState(Key key) {
  KeyCell& cell = cells[cellIndex(key)];
  const uint32_t presses = cell.presses.load(std::memory_order_acquire);
  // One press per query, so presses that arrive together still count one by one.
  const bool fresh = presses != cell.seen;
  if (fresh) ++cell.seen;
  const bool down = fresh || cell.held.load(std::memory_order_relaxed);
  return static_cast<uint16_t>((down ? kKeyDownNow : 0) | (fresh ? kKeyPressedSinceQuery : 0));
}

}  // namespace consynth::platform
