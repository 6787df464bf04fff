// The keyboard on a terminal: stdin in raw mode (or a pipe, as it is), read by a thread of
// its own that decodes key sequences into the key states the other threads query. Where the
// terminal answers the kitty keyboard protocol query, the protocol is switched on for true
// releases, and switched off again on every way out.
//
// The same thread takes the signals that concern the terminal, blocked in every thread and
// read from a signalfd: job control (Ctrl-Z too) gives the terminal back and stops, and
// continuing takes it again; ending signals give it back before the program ends. So once
// the thread runs, it alone changes the terminal's modes, apart from the restoring on
// SIGPIPE and at exit. Where the program is to quit on SIGINT, SIGTERM and SIGHUP instead,
// the thread takes those, terminal or not, and holds Escape down. Told to read no keys, it
// leaves standard input and the terminal alone and takes only those signals.

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/keyboard.h"
#include "platform/linux/key_decoder.h"
#include "platform/linux/key_states.h"
#include "platform/linux/write_all.h"

namespace consynth::platform {

namespace {

using Clock = KeyStates::Clock;
using namespace std::chrono_literals;

// A lone ESC is the Escape key once this long passes without the rest of a sequence.
constexpr auto kEscapeTimeout = 40ms;
// Terminals answer the device attributes query after any query sent before it, so its answer
// ends the wait for the kitty protocol's; this bounds the wait where nothing answers.
constexpr auto kReplyTimeout = 3s;
// In the background the program does not read the terminal; it looks this often whether it
// has been given the foreground without being continued.
constexpr int kBackgroundCheckMs = 250;

constexpr const char kQueries[] = "\x1b[?u\x1b[c";  // kitty protocol flags, device attributes
constexpr const char kKittyPush[] = "\x1b[>11u";    // disambiguate, event types, all keys
constexpr const char kKittyPop[] = "\x1b[<u";

constexpr Key kAllKeys[] = {Key::Escape, Key::Left, Key::Up, Key::Right, Key::Down,
                            Key::A,      Key::D,    Key::F,  Key::S,     Key::F5};

KeyStates keys;

// Tells the control loop that the key states may have changed, so that it need not wait for
// its next poll.
struct KeyNews {
  std::mutex mutex;
  std::condition_variable changed;
  uint64_t told = 0;  ///< times the reader told
  uint64_t seen = 0;  ///< of those, the ones the control loop has taken in
};
KeyNews news;

void tellKeyNews() {
  {
    std::lock_guard<std::mutex> lock(news.mutex);
    ++news.told;
  }
  news.changed.notify_one();
}

// Terminal state. The modes in force are lock-free atomics, since the SIGPIPE handler and
// the exit handler restore them too; the termios records are written before either exists.
termios savedTerminal;
termios rawTerminal;
std::atomic<bool> rawModeOn{false};
std::atomic<bool> kittyPushed{false};

// The start-up handshake: the reader's own once it runs.
bool queried = false;        ///< the queries went out
bool awaitingReply = false;  ///< a kitty protocol answer would be the reply to them
Clock::time_point replyDeadline;
bool kittyMode = false;  ///< the terminal speaks the protocol: releases come

// The terminal's own sequences go out through a description of the terminal of their own
// that does not block, so a terminal that stops reading holds the program up a second at
// most. Standard input itself where that cannot be opened.
int terminalOut = STDIN_FILENO;

// Whether SIGINT, SIGTERM and SIGHUP quit like Escape; the first of them that came.
bool quitOnSignals = false;
std::atomic<int> quitBy{0};

int wakePipe[2] = {-1, -1};
int signalFd = -1;
sigset_t savedSignalMask;
std::thread reader;
bool opened = false;

// Async-signal-safe. Waits at most about a second for room in the terminal's output.
void writeToTerminal(const char* text, size_t length) {
  writeAll(terminalOut, text, length, 1000);
}

// Async-signal-safe. Sets the modes at once, not after output the terminal may not be
// taking; with `discardInput`, what was typed and not yet read goes.
void setModes(const termios& modes, bool discardInput) {
  if (discardInput) tcflush(STDIN_FILENO, TCIFLUSH);
  tcsetattr(STDIN_FILENO, TCSANOW, &modes);
}

// Async-signal-safe: gives the terminal back as it was found.
void restoreTerminal() {
  if (kittyPushed.exchange(false)) writeToTerminal(kKittyPop, sizeof kKittyPop - 1);
  if (rawModeOn.exchange(false)) setModes(savedTerminal, true);
}

void onFatalSignal(int signalNumber) {
  restoreTerminal();
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

// False only while another process group has the terminal: a terminal that is not this
// session's, or has hung up, is read (and then ends) as it comes.
bool inForeground() {
  const pid_t foreground = tcgetpgrp(STDIN_FILENO);
  return foreground < 0 || foreground == getpgrp();
}

// Puts the terminal in the program's modes, if the program has the terminal: raw, with the
// kitty protocol where it was agreed. The first time, asks the terminal what it speaks.
void takeTerminal(bool discardInput) {
  if (!inForeground()) return;  // the shell's; changing it would disturb the shell
  rawModeOn.store(true);
  setModes(rawTerminal, discardInput);
  if (kittyMode && !kittyPushed.exchange(true)) writeToTerminal(kKittyPush, sizeof kKittyPush - 1);
  if (!queried) {
    queried = true;
    awaitingReply = true;
    replyDeadline = Clock::now() + kReplyTimeout;
    writeToTerminal(kQueries, sizeof kQueries - 1);
  }
}

// Lets `signalNumber` take its default action on this thread: stop or end the program.
void actAsDefault(int signalNumber) {
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signalNumber);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(signalNumber);
  pthread_sigmask(SIG_BLOCK, &one, nullptr);
}

void onSignal(int signalNumber) {
  switch (signalNumber) {
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU: {
      // No releases come while the shell has the keyboard.
      const Clock::time_point now = Clock::now();
      for (Key key : kAllKeys)
        keys.apply({key, KeyAction::Release}, kittyMode, now);
      restoreTerminal();
      actAsDefault(signalNumber);  // returns once continued
      takeTerminal(false);
      return;
    }
    case SIGCONT:  // whoever stopped the program may have left the terminal changed
      takeTerminal(false);
      return;
    case SIGINT:
    case SIGTERM:
    case SIGHUP:
      if (quitOnSignals && quitBy.load() == 0) {
        quitBy.store(signalNumber);
        keys.endOfInput();  // Escape, held for good
        return;
      }
      [[fallthrough]];
    default:  // an ending signal: end as it would have ended the program
      restoreTerminal();
      signal(signalNumber, SIG_DFL);
      actAsDefault(signalNumber);
      _exit(128 + signalNumber);
  }
}

sigset_t terminalSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signalNumber : {SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT, SIGINT, SIGTERM, SIGHUP, SIGQUIT})
    sigaddset(&set, signalNumber);
  return set;
}

sigset_t quittingSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP})
    sigaddset(&set, signalNumber);
  return set;
}

// The thread that reads the terminal: decodes its bytes, keeps the key states, answers the
// terminal's signals, and wakes for whatever falls due (a lone ESC, the end of the wait for
// the terminal's reply, a hold or a merge of the key states).
class KeyReader {
 public:
  KeyReader(bool terminal, bool input) : terminal_(terminal), inputOpen_(input) {}

  void run() {
    for (;;) {
      int timeoutMs = settle(Clock::now());
      tellKeyNews();  // what came or fell due since the last time round
      // A background job leaves the terminal's input to the shell.
      const bool background = terminal_ && !inForeground();
      if (background) timeoutMs = earliest(timeoutMs, kBackgroundCheckMs);
      pollfd fds[3] = {{wakePipe[0], POLLIN, 0},
                       {signalFd, POLLIN, 0},
                       {inputOpen_ && !background ? STDIN_FILENO : -1, POLLIN, 0}};
      const int ready = poll(fds, 3, timeoutMs);
      if (ready < 0) {
        if (errno == EINTR) continue;
        return;  // nothing more can be read
      }
      if (fds[0].revents != 0) return;
      if (ready == 0) continue;  // something fell due
      if (fds[1].revents != 0) {
        takeSignal();
      } else {
        readInput();
      }
    }
  }

 private:
  static int earliest(int timeoutMs, int ms) {
    return timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
  }

  // Acts on what has fallen due by `now`; returns the milliseconds until the next thing
  // does, or -1 if nothing will.
  int settle(Clock::time_point now) {
    if (decoder_.waiting() && now - lastArrival_ >= kEscapeTimeout) {
      const Decoded decoded = decoder_.timeOut();
      if (decoded.hasEvent) keys.apply(decoded.event, kittyMode, now);
    }
    if (awaitingReply && now >= replyDeadline) awaitingReply = false;
    int timeoutMs = keys.expireHolds(now);
    if (decoder_.waiting()) timeoutMs = timeoutUntil(timeoutMs, lastArrival_ + kEscapeTimeout, now);
    if (awaitingReply) timeoutMs = timeoutUntil(timeoutMs, replyDeadline, now);
    return timeoutMs;
  }

  void takeSignal() {
    signalfd_siginfo info;
    if (read(signalFd, &info, sizeof info) == sizeof info) {
      onSignal(static_cast<int>(info.ssi_signo));
    }
  }

  void readInput() {
    uint8_t bytes[256];
    const ssize_t count = read(STDIN_FILENO, bytes, sizeof bytes);
    if (count <= 0) {
      if (count < 0 && (errno == EINTR || errno == EAGAIN)) return;
      if (count < 0 && terminal_ && !inForeground()) return;  // just sent to the background
      keys.endOfInput();
      inputOpen_ = false;
      return;
    }
    lastArrival_ = Clock::now();
    for (ssize_t i = 0; i < count; ++i)
      take(decoder_.feed(bytes[i]));
  }

  void take(const Decoded& decoded) {
    if (decoded.kittyReply && awaitingReply) {
      kittyMode = true;
      takeTerminal(false);
    }
    if (decoded.kittyReply || decoded.attributesReply) awaitingReply = false;
    // Like the terminal's own Ctrl-Z: the whole job stops, this program through onSignal.
    if (decoded.suspend && terminal_) kill(0, SIGTSTP);
    if (decoded.hasEvent) keys.apply(decoded.event, kittyMode, lastArrival_);
  }

  const bool terminal_;
  KeyDecoder decoder_;
  bool inputOpen_;
  Clock::time_point lastArrival_{};
};

void readKeys(bool terminal, bool input) {
  KeyReader(terminal, input).run();
}

}  // namespace

void quitOnEndingSignals() {
  quitOnSignals = true;
}

int quitSignal() {
  return quitBy.load();
}

void endAsSignalled(int signalNumber) {
  signal(signalNumber, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signalNumber);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(signalNumber);
  _exit(128 + signalNumber);
}

void keyboardOpen(KeyInput input) {
  if (opened) return;
  opened = true;
  if (pipe2(wakePipe, O_CLOEXEC) != 0) return;
  const bool reading = input == KeyInput::Read;
  bool terminal =
      reading && isatty(STDIN_FILENO) != 0 && tcgetattr(STDIN_FILENO, &savedTerminal) == 0;
  if (terminal || quitOnSignals) {
    // Blocked before any other thread starts, so every thread inherits the mask.
    const sigset_t signals = terminal ? terminalSignals() : quittingSignals();
    pthread_sigmask(SIG_BLOCK, &signals, &savedSignalMask);
    signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
    if (signalFd < 0) {
      pthread_sigmask(SIG_SETMASK, &savedSignalMask, nullptr);
      terminal = false;
    }
  }
  if (terminal) {
    char path[256];
    if (ttyname_r(STDIN_FILENO, path, sizeof path) == 0) {
      const int fd = open(path, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0) terminalOut = fd;
    }
    signal(SIGPIPE, onFatalSignal);
    std::atexit(restoreTerminal);

    // Keys arrive byte by byte, unechoed, Ctrl-C and Ctrl-Z included; output processing
    // stays on so '\n' still starts a new line.
    rawTerminal = savedTerminal;
    rawTerminal.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    rawTerminal.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
    rawTerminal.c_cc[VMIN] = 1;
    rawTerminal.c_cc[VTIME] = 0;
    takeTerminal(true);
  }
  try {
    reader = std::thread(readKeys, terminal, reading);
  } catch (const std::system_error&) {
    // Nothing can read the keys: the terminal goes back as it was, and the input counts as
    // ended, which quits like Escape.
    keyboardClose();
    keys.endOfInput();
  }
}

void waitForKeyEvent(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(news.mutex);
  news.changed.wait_for(lock, timeout, [] { return news.told != news.seen; });
  news.seen = news.told;
}

void keyboardClose() {
  if (reader.joinable()) {
    const char wake = 'x';
    while (write(wakePipe[1], &wake, 1) < 0 && errno == EINTR) {
    }
    reader.join();
    close(wakePipe[0]);
    close(wakePipe[1]);
  }
  restoreTerminal();
  if (signalFd >= 0) {
    close(signalFd);
    signalFd = -1;
    // A stop or an ending that came meanwhile takes effect now, the terminal given back.
    pthread_sigmask(SIG_SETMASK, &savedSignalMask, nullptr);
  }
}

uint16_t keyState(Key key) {
  return keys.query(key);
}

}  // namespace consynth::platform
