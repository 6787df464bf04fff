#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <condition_variable>
#include <mutex>
#endif

namespace consynth::platform {

/// A counting semaphore with a ceiling: a release that would lift the count above the
/// maximum is dropped (and reported), never an error. The device's completion callback
/// releases it; the render thread waits on it. On Windows the system's own semaphore, so
/// the completion callback takes no lock of the threads library.
class CreditSemaphore {
 public:
  CreditSemaphore(int initial, int maximum);
  ~CreditSemaphore();
  CreditSemaphore(const CreditSemaphore&) = delete;
  CreditSemaphore& operator=(const CreditSemaphore&) = delete;

  /// Adds one credit unless the count is at its maximum. Returns false if it was dropped.
  bool release();

  /// Waits, without time-out, for one credit and takes it.
  void acquire();

 private:
#ifdef _WIN32
  HANDLE handle_;
#else
  std::mutex mutex_;
  std::condition_variable available_;
  int count_;
  const int maximum_;
#endif
};

#ifdef _WIN32

inline CreditSemaphore::CreditSemaphore(int initial, int maximum)
    : handle_(CreateSemaphoreA(nullptr, initial, maximum, nullptr)) {}

inline CreditSemaphore::~CreditSemaphore() {
  if (handle_ != nullptr) CloseHandle(handle_);
}

inline bool CreditSemaphore::release() {
  return ReleaseSemaphore(handle_, 1, nullptr) != 0;  // fails at the maximum
}

inline void CreditSemaphore::acquire() {
  WaitForSingleObject(handle_, INFINITE);
}

#else

inline CreditSemaphore::CreditSemaphore(int initial, int maximum)
    : count_(initial), maximum_(maximum) {}

inline CreditSemaphore::~CreditSemaphore() = default;

inline bool CreditSemaphore::release() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (count_ >= maximum_) return false;
    ++count_;
  }
  available_.notify_one();
  return true;
}

inline void CreditSemaphore::acquire() {
  std::unique_lock<std::mutex> guard(mutex_);
  available_.wait(guard, [this] { return count_ > 0; });
  --count_;
}

#endif

}  // namespace consynth::platform
