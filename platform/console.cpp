#include "platform/console.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

#include "platform/never_destroyed.h"
#include "platform/threads.h"

namespace consynth::platform {

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kLongestPrint = 255;
// About 0.4 s of status and index lines: room for any hiccup of a working output.
constexpr uint32_t kQueuedPrints = 64;  // a power of two, so positions may wrap around
constexpr auto kCloseGrace = 250ms;

// A bounded queue of prints, many producers and one consumer, lock-free: each cell carries
// the position whose turn it is, after Dmitry Vyukov's bounded queue. A producer claims a
// position, fills its cell and then hands it over; a full queue refuses the print.
class PrintQueue {
 public:
  PrintQueue() {
    for (uint32_t i = 0; i < kQueuedPrints; ++i)
      cells_[i].turn.store(i, std::memory_order_relaxed);
  }

  bool push(const char* text, uint32_t length) {
    uint32_t at = enqueueAt_.load(std::memory_order_relaxed);
    for (;;) {
      Cell& cell = cells_[at % kQueuedPrints];
      const auto lag = static_cast<int32_t>(cell.turn.load(std::memory_order_acquire) - at);
      if (lag < 0) return false;  // the writer has not yet taken the print a lap ago
      if (lag > 0) {
        at = enqueueAt_.load(std::memory_order_relaxed);  // another producer took it
      } else if (enqueueAt_.compare_exchange_weak(at, at + 1, std::memory_order_relaxed)) {
        std::memcpy(cell.text, text, length);
        cell.length = length;
        cell.turn.store(at + 1, std::memory_order_release);
        return true;
      }
    }
  }

  /// The writer's side: appends the oldest print to `out`; false if there is none yet.
  bool pop(char* out, uint32_t& length) {
    Cell& cell = cells_[dequeueAt_ % kQueuedPrints];
    if (cell.turn.load(std::memory_order_acquire) != dequeueAt_ + 1) return false;
    length = cell.length;
    std::memcpy(out, cell.text, length);
    cell.turn.store(dequeueAt_ + kQueuedPrints, std::memory_order_release);
    ++dequeueAt_;
    return true;
  }

  /// Prints accepted so far.
  uint32_t pushed() const { return enqueueAt_.load(std::memory_order_acquire); }

 private:
  struct Cell {
    std::atomic<uint32_t> turn;
    uint32_t length;
    char text[kLongestPrint];
  };
  Cell cells_[kQueuedPrints];
  alignas(64) std::atomic<uint32_t> enqueueAt_{0};
  alignas(64) uint32_t dequeueAt_ = 0;
};

struct Console {
  PrintQueue queue;
  std::atomic<bool> writerRunning{false};
  std::atomic<uint32_t> shown{0};  ///< prints the writer has written out
};

// The writer may be left blocked in a write while the process exits.
NeverDestroyed<Console> console;

void writePrints() {
  nameThisThread("console");
  // Whatever has piled up goes out in one write.
  char batch[16 * (kLongestPrint + 1)];
  for (;;) {
    detail::waitForPrint();
    size_t used = 0;
    uint32_t taken = 0;
    uint32_t length;
    while (console->queue.pop(batch + used, length)) {
      used += length;
      ++taken;
      if (sizeof batch - used < kLongestPrint) {
        detail::writeToStandardOutput(batch, used);
        used = 0;
      }
    }
    if (used > 0) detail::writeToStandardOutput(batch, used);
    console->shown.fetch_add(taken, std::memory_order_release);
  }
}

}  // namespace

void consoleOpen() {
  if (console->writerRunning.load()) return;
  try {
    std::thread(writePrints).detach();
  } catch (const std::system_error&) {
    return;  // no thread to spare: each print is written where it is made
  }
  console->writerRunning.store(true, std::memory_order_release);
}

void consoleClose() {
  if (!console->writerRunning.load()) return;
  const uint32_t printed = console->queue.pushed();
  const auto deadline = std::chrono::steady_clock::now() + kCloseGrace;
  while (static_cast<int32_t>(console->shown.load(std::memory_order_acquire) - printed) < 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
}

void consolePrint(const char* format, ...) {
  char text[kLongestPrint + 1];
  va_list args;
  va_start(args, format);
  const int formatted = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (formatted <= 0) return;
  const uint32_t length = std::min(static_cast<uint32_t>(formatted), kLongestPrint);
  if (!console->writerRunning.load(std::memory_order_acquire)) {
    detail::writeToStandardOutput(text, length);
  } else if (console->queue.push(text, length)) {
    detail::signalPrint();
  }
}

}  // namespace consynth::platform
