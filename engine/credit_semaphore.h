#pragma once

#include <condition_variable>
#include <mutex>

namespace consynth {

/// A counting semaphore with a ceiling: a release that would lift the count above the
/// maximum is dropped (and reported), never an error. The device's completion callback
/// releases it; the render thread waits on it.
class CreditSemaphore {
 public:
  CreditSemaphore(int initial, int maximum) : count_(initial), maximum_(maximum) {}

  /// Adds one credit unless the count is at its maximum. Returns false if it was dropped.
  bool release() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (count_ >= maximum_) return false;
      ++count_;
    }
    available_.notify_one();
    return true;
  }

  /// Waits, without time-out, for one credit and takes it.
  void acquire() {
    std::unique_lock<std::mutex> guard(mutex_);
    available_.wait(guard, [this] { return count_ > 0; });
    --count_;
  }

  int count() {
    std::lock_guard<std::mutex> guard(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable available_;
  int count_;
  const int maximum_;
};

}  // namespace consynth
