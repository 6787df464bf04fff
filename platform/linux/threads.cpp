#include "platform/threads.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "platform/linux/realtime_kit.h"

namespace consynth::platform {

void nameThisThread(const char* name) {
  char cut[16];
  std::snprintf(cut, sizeof cut, "%s", name);
  pthread_setname_np(pthread_self(), cut);
}

void prepareAudioThread(const char* name) {
  nameThisThread(name);
  // Granted straight away to root, to CAP_SYS_NICE and up to the RLIMIT_RTPRIO limit (an
  // audio group's usual grant); never passed on to children. Else RTKit may lend it.
  int priority = kRealtimePriority;
  rlimit allowed;
  if (geteuid() != 0 && getrlimit(RLIMIT_RTPRIO, &allowed) == 0 && allowed.rlim_cur >= 1) {
    priority = static_cast<int>(std::min<rlim_t>(allowed.rlim_cur, kRealtimePriority));
  }
  const sched_param param = {.sched_priority = priority};
  if (sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0) return;
  requestRealtimeFromRealtimeKit(gettid());
}

}  // namespace consynth::platform
