#pragma once

#include <sys/types.h>

#include <cstddef>

// Real-time scheduling for threads of this process, as audio programs ask for it.

namespace consynth::platform {

/// The priority every audio thread asks for: SCHED_FIFO 4 (RTKit grants SCHED_RR) is below
/// the sound servers' own threads (PulseAudio 5, PipeWire 20 and up), so the program never
/// holds up the server that plays its sound.
inline constexpr int kRealtimePriority = 4;

/// Makes thread `tid` of this process real-time where the process may (root, CAP_SYS_NICE,
/// RLIMIT_RTPRIO), else asks RTKit to; children never inherit it. Never blocks.
void makeThreadRealtime(pid_t tid);

/// The threads of this process at one moment, to tell which ones a library call started.
struct ThreadSnapshot {
  static constexpr size_t kCapacity = 64;
  pid_t ids[kCapacity];
  size_t count = 0;

  void take();
  bool has(pid_t tid) const;
};

/// Makes real-time each thread not in `before` that the sound library started: one that still
/// has normal scheduling and is none of the program's own threads that are not for audio
/// (whose names those started by them, such as a MIDI library's, inherit).
void makeSoundLibraryThreadsRealtime(const ThreadSnapshot& before);

}  // namespace consynth::platform
