// Hammers the ring's credit semaphore with the hand-over between the device's completion
// callback and the render thread, to catch a lost wake-up in the threads library underneath
// (winpthreads here). Such a loss leaves both threads asleep for good, so a watchdog ends
// the run with a diagnosis instead of letting it hang.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/credit_semaphore.h"

namespace {

using consynth::platform::CreditSemaphore;

constexpr int kBufferCount = 6;
constexpr uint64_t kHandOvers = 200'000;
// Far beyond any scheduling hiccup: only a thread that will never wake stays silent so long.
constexpr auto kStallLimit = std::chrono::seconds(60);

// The ring as the engine runs it: the render thread submits a buffer and then takes a
// credit; the device plays the oldest queued buffer and then gives a credit back. The
// credits start at five and the render thread holds the sixth buffer, so queued buffers
// plus credits make five at rest and six at most: neither semaphore ever meets its ceiling,
// and every release must count.
struct CreditRing {
  CreditSemaphore queued{0, kBufferCount};
  CreditSemaphore credits{kBufferCount - 1, kBufferCount};
  std::atomic<uint64_t> rendered{0};
  std::atomic<uint64_t> played{0};
  std::atomic<uint64_t> dropped{0};  // releases refused at the maximum

  void renderThread() {
    for (uint64_t i = 0; i < kHandOvers; ++i) {
      if (!queued.release()) ++dropped;  // submit
      rendered.store(i + 1, std::memory_order_relaxed);
      credits.acquire();
    }
  }

  void deviceThread() {
    for (uint64_t i = 0; i < kHandOvers; ++i) {
      queued.acquire();  // play the oldest buffer
      played.store(i + 1, std::memory_order_relaxed);
      if (!credits.release()) ++dropped;  // completion callback
    }
  }
};

TEST(CreditSemaphoreStress, NeverLosesAWakeUp) {
  static CreditRing ring;  // outlives the threads if the watchdog fires
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
                   "lost wake-up: no progress after %llu buffers rendered and %llu played; "
                   "a thread sleeps on a semaphore that was released for it\n",
                   static_cast<unsigned long long>(rendered),
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
  EXPECT_EQ(ring.dropped.load(), 0u);
  // Every release counted: the five credits of the start are there to take again.
  for (int i = 0; i < kBufferCount - 1; ++i)
    ring.credits.acquire();
}

}  // namespace
