// The keyboard on a terminal: stdin in raw mode (or a pipe, as it is), read by a thread of
// its own that decodes key sequences into the key states the other threads query. Where the
// terminal answers the kitty keyboard protocol query, the protocol is switched on for true
// releases, and switched off again on every way out.

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
#include "platform/linux/key_states.h"

namespace consynth::platform {

namespace {

using Clock = KeyStates::Clock;
using namespace std::chrono_literals;

// A lone ESC is the Escape key once this long passes without the rest of a sequence.
constexpr auto kEscapeTimeout = 40ms;
// Terminals answer the device attributes query after any query sent before it, so its answer
// ends the wait for the kitty protocol's; this bounds the wait where nothing answers.
constexpr auto kReplyTimeout = 3s;

constexpr const char kQueries[] = "\x1b[?u\x1b[c";  // kitty protocol flags, device attributes
constexpr const char kKittyPush[] = "\x1b[>11u";    // disambiguate, event types, all keys
constexpr const char kKittyPop[] = "\x1b[<u";

KeyStates keys;

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

int millisecondsUntil(Clock::time_point at, Clock::time_point now) {
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(at - now).count());
}

int earliest(int timeoutMs, int ms) {
  return timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
}

void readKeys(bool terminal) {
  KeyDecoder decoder;
  bool kittyMode = false;
  // Only the answer to the start-up queries turns the protocol on, never input that looks
  // like it later.
  bool awaitingReply = terminal;
  const Clock::time_point replyDeadline = Clock::now() + kReplyTimeout;
  bool inputOpen = true;
  Clock::time_point lastArrival{};
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (decoder.waiting() && now - lastArrival >= kEscapeTimeout) {
      const Decoded decoded = decoder.timeOut();
      if (decoded.hasEvent) keys.apply(decoded.event, kittyMode, now);
    }
    if (awaitingReply && now >= replyDeadline) awaitingReply = false;
    int timeoutMs = keys.expireHolds(now);
    if (decoder.waiting()) {
      timeoutMs = earliest(timeoutMs, millisecondsUntil(lastArrival + kEscapeTimeout, now));
    }
    if (awaitingReply) timeoutMs = earliest(timeoutMs, millisecondsUntil(replyDeadline, now));

    pollfd fds[2] = {{wakePipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    const int ready = poll(fds, inputOpen ? 2 : 1, timeoutMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;  // nothing more can be read
    }
    if (fds[0].revents != 0) return;

    if (ready == 0) continue;  // a hold, a merge or a wait is up

    uint8_t bytes[256];
    const ssize_t count = read(STDIN_FILENO, bytes, sizeof bytes);
    if (count <= 0) {
      if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      keys.endOfInput();
      inputOpen = false;
      continue;
    }
    const Clock::time_point arrival = Clock::now();
    lastArrival = arrival;
    for (ssize_t i = 0; i < count; ++i) {
      const Decoded decoded = decoder.feed(bytes[i]);
      if (decoded.kittyReply && awaitingReply) {
        writeAll(STDIN_FILENO, kKittyPush, sizeof kKittyPush - 1);
        kittyPushed.store(true);
        kittyMode = true;
      }
      if (decoded.kittyReply || decoded.attributesReply) awaitingReply = false;
      if (decoded.hasEvent) keys.apply(decoded.event, kittyMode, arrival);
    }
  }
}

}  // namespace

void keyboardOpen() {
  if (opened) return;
  opened = true;
  const bool terminal = isatty(STDIN_FILENO) != 0;
  if (terminal && tcgetattr(STDIN_FILENO, &savedTerminal) == 0) {
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
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
    // A terminal that speaks the kitty protocol answers the first; the reader then enables it.
    writeAll(STDIN_FILENO, kQueries, sizeof kQueries - 1);
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
  return keys.query(key);
}

}  // namespace consynth::platform
