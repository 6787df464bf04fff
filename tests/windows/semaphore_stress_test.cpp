// Hammers the credit hand-over between the device's completion callback and the render
// thread, to catch a semaphore that loses a wake-up. Such a loss leaves both threads asleep
// for good, so a watchdog ends the run with a diagnosis instead of letting it hang.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <semaphore>
#include <thread>

#include "platform/windows/win32_semaphore.h"

namespace {

constexpr int kBufferCount = 6;
constexpr uint64_t kHandOvers = 200'000;
// Far beyond any scheduling hiccup: only a thread that will never wake stays silent so long.
constexpr auto kStallLimit = std::chrono::seconds(60);

struct StdSemaphore {
  std::counting_semaphore<kBufferCount> s;
  StdSemaphore(int32_t initial, int32_t) : s(initial) {}
  void acquire() { s.acquire(); }
  void release() { s.release(); }
};

// A credit counter built on a mutex and a condition variable (winpthreads underneath, with
// this toolchain), the other way to build the ring's semaphore from the standard library.
struct ConditionSemaphore {
  std::mutex mutex;
  std::condition_variable available;
  int32_t count;
  const int32_t maximum;
  ConditionSemaphore(int32_t initial, int32_t max) : count(initial), maximum(max) {}
  void acquire() {
    std::unique_lock<std::mutex> lock(mutex);
    available.wait(lock, [this] { return count > 0; });
    --count;
  }
  void release() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (count >= maximum) return;
      ++count;
    }
    available.notify_one();
  }
};

// The ring as the engine runs it: the render thread submits a buffer and then takes a
// credit; the device plays the oldest queued buffer and then gives a credit back. The
// credits start at five; the start-up renders that resubmit a buffer the device still holds
// change nothing, so the model starts with one buffer queued: queued buffers plus credits
// always make six, and neither semaphore can exceed its maximum.
template <class Semaphore>
struct CreditRing {
  Semaphore queued{1, kBufferCount};
  Semaphore credits{kBufferCount - 1, kBufferCount};
  std::atomic<uint64_t> rendered{0};
  std::atomic<uint64_t> played{0};

  void renderThread() {
    for (uint64_t i = 0; i < kHandOvers; ++i) {
      queued.release();  // submit
      rendered.store(i + 1, std::memory_order_relaxed);
      credits.acquire();
    }
  }

  void deviceThread() {
    for (uint64_t i = 0; i < kHandOvers; ++i) {
      queued.acquire();  // play the oldest buffer
      played.store(i + 1, std::memory_order_relaxed);
      credits.release();  // completion callback
    }
  }
};

template <class Semaphore>
void runCreditRing(const char* name) {
  static CreditRing<Semaphore> ring;  // outlives the threads if the watchdog fires
  std::thread device([] { ring.deviceThread(); });
  std::thread render([] { ring.renderThread(); });

  uint64_t lastProgress = 0;
  auto lastChange = std::chrono::steady_clock::now();
  for (;;) {
    const uint64_t rendered = ring.rendered.load(std::memory_order_relaxed);
    const uint64_t played = ring.played.load(std::memory_order_relaxed);
    if (rendered == kHandOvers && played == kHandOvers) break;
    const auto now = std::chrono::steady_clock::now();
    if (rendered + played != lastProgress) {
      lastProgress = rendered + played;
      lastChange = now;
    } else if (now - lastChange > kStallLimit) {
      // The stuck threads cannot be joined; end the process with the diagnosis.
      std::fprintf(stderr,
                   "%s: lost wake-up: no progress after %llu buffers rendered and %llu played; "
                   "a thread sleeps on a semaphore that was released for it\n",
                   name, static_cast<unsigned long long>(rendered),
                   static_cast<unsigned long long>(played));
      std::fflush(stderr);
      std::_Exit(1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  render.join();
  device.join();
  EXPECT_EQ(ring.rendered.load(), kHandOvers);
  EXPECT_EQ(ring.played.load(), kHandOvers);
}

#if !defined(CONSYNTH_SEMAPHORE_FAULT_DEMO)

TEST(CreditSemaphoreStress, Win32SemaphoreNeverLosesAWakeUp) {
  ASSERT_TRUE(consynth::Win32Semaphore(0, 1).valid());
  runCreditRing<consynth::Win32Semaphore>("Win32 semaphore");
}

// The Windows build defines _GLIBCXX_USE_POSIX_SEMAPHORE for every translation unit, so
// std::counting_semaphore sits on a winpthreads semaphore.
TEST(CreditSemaphoreStress, StandardCountingSemaphoreNeverLosesAWakeUp) {
  runCreditRing<StdSemaphore>("std::counting_semaphore");
}

TEST(CreditSemaphoreStress, MutexAndConditionVariableNeverLoseAWakeUp) {
  runCreditRing<ConditionSemaphore>("mutex and condition variable");
}

#else

// Built without _GLIBCXX_USE_POSIX_SEMAPHORE, GCC 12's std::counting_semaphore waits on
// atomics and loses a wake-up here within a few hundred thousand hand-overs; the ring would
// stall for good. Disabled: it only shows that the test above catches that fault.
#if defined(_GLIBCXX_USE_POSIX_SEMAPHORE)
#error "the fault demo needs the atomic-wait semaphore"
#endif
TEST(CreditSemaphoreStress, DISABLED_AtomicWaitCountingSemaphoreLosesAWakeUp) {
  runCreditRing<StdSemaphore>("std::counting_semaphore (atomic waits)");
}

#endif

}  // namespace
