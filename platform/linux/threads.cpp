#include "platform/threads.h"

#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/linux/realtime.h"
#include "platform/linux/realtime_kit.h"

namespace consynth::platform {

void nameThisThread(const char* name) {
  char cut[16];
  std::snprintf(cut, sizeof cut, "%s", name);
  pthread_setname_np(pthread_self(), cut);
}

void prepareAudioThread(const char* name) {
  nameThisThread(name);
  makeThreadRealtime(gettid());
}

void makeThreadRealtime(pid_t tid) {
  // Granted straight away to root, to CAP_SYS_NICE and up to the RLIMIT_RTPRIO limit (an
  // audio group's usual grant). Else RTKit may lend it.
  int priority = kRealtimePriority;
  rlimit allowed;
  if (geteuid() != 0 && getrlimit(RLIMIT_RTPRIO, &allowed) == 0 && allowed.rlim_cur >= 1) {
    priority = static_cast<int>(std::min<rlim_t>(allowed.rlim_cur, kRealtimePriority));
  }
  const sched_param param = {.sched_priority = priority};
  if (sched_setscheduler(tid, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0) return;
  requestRealtimeFromRealtimeKit(tid);
}

void ThreadSnapshot::take() {
  count = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return;
  while (const dirent* entry = readdir(tasks)) {
    const pid_t tid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (tid > 0 && count < kCapacity) ids[count++] = tid;
  }
  closedir(tasks);
}

bool ThreadSnapshot::has(pid_t tid) const {
  return std::find(ids, ids + count, tid) != ids + count;
}

void makeNewThreadsRealtime(const ThreadSnapshot& before) {
  ThreadSnapshot now;
  now.take();
  for (size_t i = 0; i < now.count; ++i) {
    const pid_t tid = now.ids[i];
    if (!before.has(tid) && sched_getscheduler(tid) == SCHED_OTHER) makeThreadRealtime(tid);
  }
}

}  // namespace consynth::platform
