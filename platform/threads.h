#pragma once

// What the system does for the program's own threads.

namespace consynth::platform {

/// Names the calling thread, as the system's tools (top, ps, debuggers) show it. Names are
/// cut to 15 characters.
void nameThisThread(const char* name);

/// Prepares the calling thread, one that keeps the sound flowing, for its work: names it and
/// asks for real-time scheduling, as audio programs do, at a modest priority below the
/// sound server's. Where the system does not grant it the thread runs on as it is. Never
/// blocks, and reports nothing.
void prepareAudioThread(const char* name);

/// The calling thread, one prepared by prepareAudioThread, is about to end: forgets what
/// was kept for it.
void finishAudioThread();

}  // namespace consynth::platform
