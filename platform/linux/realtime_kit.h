#pragma once

#include <sys/types.h>

// RTKit, the system service that lends real-time scheduling to the threads of ordinary
// users' processes on desktop systems, asked over the system D-Bus.

namespace consynth::platform {

/// Starts the thread that talks to RTKit. Call once, early, from the main thread.
void startRealtimeKitRequests();

/// Asks RTKit, from that thread, to make thread `tid` real-time at kRealtimePriority. Never
/// blocks; does nothing if the requests were not started.
void requestRealtimeFromRealtimeKit(pid_t tid);

/// Thread `tid` is ending: it is no longer one to demote, and its record is free for
/// another.
void forgetRealtimeThread(pid_t tid);

}  // namespace consynth::platform
