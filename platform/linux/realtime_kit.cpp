// The D-Bus calls wait for their replies, which an audio thread must never do, so a helper
// thread of normal priority makes them on the audio threads' behalf.

#include "platform/linux/realtime_kit.h"

#include <sched.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/resource.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <system_error>
#include <thread>

#include "platform/linux/realtime.h"
#include "platform/never_destroyed.h"
#include "platform/threads.h"

namespace consynth::platform {

namespace {

constexpr const char* kService = "org.freedesktop.RealtimeKit1";
constexpr const char* kObject = "/org/freedesktop/RealtimeKit1";
constexpr uint64_t kCallTimeoutUs = 2'000'000;
constexpr int kThreadSlots = 8;  // far more audio threads than the program ever has at once

struct Requests {
  sem_t signal;
  std::atomic<bool> started{false};
  std::atomic<pid_t> waiting[kThreadSlots] = {};  ///< threads to ask for; 0 is a free slot
  std::atomic<pid_t> granted[kThreadSlots] = {};  ///< threads RTKit made real-time
  Requests() { sem_init(&signal, 0, 0); }
};
NeverDestroyed<Requests> requests;

void putInFreeSlot(std::atomic<pid_t> (&slots)[kThreadSlots], pid_t tid) {
  for (std::atomic<pid_t>& slot : slots) {
    pid_t free = 0;
    if (slot.compare_exchange_strong(free, tid)) return;
  }
}

// Frees the slots of threads that have ended without saying so (a sound library's).
void freeSlotsOfEndedThreads(std::atomic<pid_t> (&slots)[kThreadSlots]) {
  for (std::atomic<pid_t>& slot : slots) {
    pid_t tid = slot.load();
    if (tid != 0 && tgkill(getpid(), tid, 0) != 0 && errno == ESRCH) {
      slot.compare_exchange_strong(tid, 0);
    }
  }
}

// RTKit lends real-time scheduling only to a process that limits how long its real-time
// threads may run without sleeping: past the hard limit the kernel kills the process.
// Half-way there the kernel sends SIGXCPU, and the threads fall back to normal scheduling,
// so a render that cannot keep up with real time plays late rather than ends the program.
void onRealtimeOverrun(int) {
  const sched_param normal = {};
  for (std::atomic<pid_t>& slot : requests->granted) {
    const pid_t tid = slot.exchange(0);
    // Keeping the flag RTKit set: an unprivileged thread may not clear it.
    if (tid != 0) sched_setscheduler(tid, SCHED_OTHER | SCHED_RESET_ON_FORK, &normal);
  }
}

bool limitRealtimeRunning(int64_t longestUs) {
  rlimit limit;
  if (longestUs <= 0 || getrlimit(RLIMIT_RTTIME, &limit) != 0) return false;
  const auto longest = static_cast<rlim_t>(longestUs);
  if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max > longest) limit.rlim_max = longest;
  limit.rlim_cur = limit.rlim_max / 2;
  if (setrlimit(RLIMIT_RTTIME, &limit) != 0) return false;
  struct sigaction demote = {};
  demote.sa_handler = onRealtimeOverrun;
  return sigaction(SIGXCPU, &demote, nullptr) == 0;
}

void askRealtimeKit(pid_t tid) {
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0) return;  // no system bus: no RTKit either
  sd_bus_set_method_call_timeout(bus, kCallTimeoutUs);
  int64_t longestUs = 0;
  int32_t highest = 0;
  sd_bus_get_property_trivial(bus, kService, kObject, kService, "RTTimeUSecMax", nullptr, 'x',
                              &longestUs);
  sd_bus_get_property_trivial(bus, kService, kObject, kService, "MaxRealtimePriority", nullptr, 'i',
                              &highest);
  const int priority = std::min<int>(kRealtimePriority, highest);
  if (priority >= 1 && limitRealtimeRunning(longestUs) &&
      sd_bus_call_method(bus, kService, kObject, kService, "MakeThreadRealtime", nullptr, nullptr,
                         "tu", static_cast<uint64_t>(tid), static_cast<uint32_t>(priority)) >= 0) {
    freeSlotsOfEndedThreads(requests->granted);
    putInFreeSlot(requests->granted, tid);
  }
  sd_bus_flush_close_unref(bus);
}

void serveRequests() {
  nameThisThread("rtkit-requests");
  for (;;) {
    while (sem_wait(&requests->signal) != 0 && errno == EINTR) {
    }
    for (std::atomic<pid_t>& slot : requests->waiting) {
      const pid_t tid = slot.exchange(0);
      if (tid != 0) askRealtimeKit(tid);
    }
  }
}

}  // namespace

void startRealtimeKitRequests() {
  if (requests->started.load()) return;
  try {
    std::thread(serveRequests).detach();
    requests->started.store(true);
  } catch (const std::system_error&) {
    // No thread to spare: the audio threads run with normal scheduling.
  }
}

void forgetRealtimeThread(pid_t tid) {
  for (std::atomic<pid_t>& slot : requests->granted) {
    pid_t granted = tid;
    slot.compare_exchange_strong(granted, 0);
  }
}

void requestRealtimeFromRealtimeKit(pid_t tid) {
  if (!requests->started.load()) return;
  putInFreeSlot(requests->waiting, tid);
  sem_post(&requests->signal);
}

}  // namespace consynth::platform
