#pragma once

#include <pthread.h>
#include <time.h>

#include <chrono>

namespace consynth::platform {

/// A mutex that lends its holder the priority of the highest thread waiting for it, so a
/// real-time thread never waits long behind a normal one that was preempted holding it.
/// Meets the standard's Lockable requirements (std::lock_guard, std::unique_lock).
class PiMutex {
 public:
  PiMutex() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
    pthread_mutex_init(&mutex_, &attributes);
    pthread_mutexattr_destroy(&attributes);
  }
  ~PiMutex() { pthread_mutex_destroy(&mutex_); }
  PiMutex(const PiMutex&) = delete;
  PiMutex& operator=(const PiMutex&) = delete;

  void lock() { pthread_mutex_lock(&mutex_); }
  bool try_lock() { return pthread_mutex_trylock(&mutex_) == 0; }
  void unlock() { pthread_mutex_unlock(&mutex_); }

 private:
  friend class PiCondition;
  pthread_mutex_t mutex_;
};

/// A condition variable for a PiMutex, timed on the monotonic clock (steady_clock).
class PiCondition {
 public:
  using Clock = std::chrono::steady_clock;

  PiCondition() {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&condition_, &attributes);
    pthread_condattr_destroy(&attributes);
  }
  ~PiCondition() { pthread_cond_destroy(&condition_); }
  PiCondition(const PiCondition&) = delete;
  PiCondition& operator=(const PiCondition&) = delete;

  void notify_all() { pthread_cond_broadcast(&condition_); }

  /// Waits, with `lock` held on `mutex`, until notified or `deadline`; may wake early.
  void waitUntil(PiMutex& mutex, Clock::time_point deadline) {
    const auto since = deadline.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    const timespec until = {
        static_cast<time_t>(seconds.count()),
        static_cast<long>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count())};
    pthread_cond_timedwait(&condition_, &mutex.mutex_, &until);
  }

  /// As waitUntil, until `predicate` holds or `deadline`; returns the predicate.
  template <class Predicate>
  bool waitUntil(PiMutex& mutex, Clock::time_point deadline, Predicate predicate) {
    while (!predicate()) {
      if (Clock::now() >= deadline) return predicate();
      waitUntil(mutex, deadline);
    }
    return true;
  }

 private:
  pthread_cond_t condition_;
};

}  // namespace consynth::platform
