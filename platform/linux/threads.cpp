#include "platform/threads.h"

#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

namespace {

// The name of thread `tid` of this process, as the system shows it.
bool threadName(pid_t tid, char (&name)[16]) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/comm", static_cast<int>(tid));
  FILE* file = std::fopen(path, "re");
  if (file == nullptr) return false;
  const bool read = std::fgets(name, sizeof name, file) != nullptr;
  std::fclose(file);
  if (read) name[std::strcspn(name, "\n")] = '\0';
  return read;
}

// The program's threads that must not be real-time, and those a library starts from them.
bool isOwnNonAudioThread(const char* name, const char* mainName) {
  constexpr const char* kNames[] = {"console", "take-writer", "midi-in", "rtkit-requests"};
  for (const char* own : kNames) {
    if (std::strcmp(name, own) == 0) return true;
  }
  return std::strcmp(name, mainName) == 0;
}

}  // namespace

void makeSoundLibraryThreadsRealtime(const ThreadSnapshot& before) {
  char mainName[16] = "";
  threadName(getpid(), mainName);
  ThreadSnapshot now;
  now.take();
  for (size_t i = 0; i < now.count; ++i) {
    const pid_t tid = now.ids[i];
    char name[16];
    if (before.has(tid) || !threadName(tid, name) || isOwnNonAudioThread(name, mainName)) continue;
    if (sched_getscheduler(tid) == SCHED_OTHER) makeThreadRealtime(tid);
  }
}

void finishAudioThread() {
  forgetRealtimeThread(gettid());
}

}  // namespace consynth::platform
