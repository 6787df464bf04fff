#pragma once

#include <sys/types.h>

// RTKit, the system service that lends real-time scheduling to the threads of ordinary
// users' processes on desktop systems, asked over the system D-Bus.

namespace consynth::platform {

/// The priority every audio thread asks for: SCHED_FIFO 4 (RTKit grants SCHED_RR) is below
/// the sound servers' own threads (PulseAudio 5, PipeWire 20 and up), so the program never
/// holds up the server that plays its sound.
inline constexpr int kRealtimePriority = 4;

/// Starts the thread that talks to RTKit. Call once, early, from the main thread.
void startRealtimeKitRequests();

/// Asks RTKit, from that thread, to make thread `tid` real-time. Never blocks; does nothing
/// if the requests were not started.
void requestRealtimeFromRealtimeKit(pid_t tid);

}  // namespace consynth::platform
