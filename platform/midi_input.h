#pragma once

// MIDI input with no set-up: every source the system has is listened to from the start, and
// on Linux every source that appears later too, so a keyboard plugged in mid-run plays at
// once. Only note-ons reach the program (the decoder in midi_decoder.h says which bytes are
// one); a system without MIDI, or without a way to reach it, gives none, quietly.

#include <chrono>

namespace consynth::platform {

/// Called with the channel (0 to 15) and the note (0 to 127) of each note-on and the moment
/// it was played, as the source tells it or as it arrived, on a thread of the MIDI input's,
/// one call at a time. It must return at once, without waiting for anything.
using MidiNoteOnCallback = void (*)(void* context, int channel, int note,
                                    std::chrono::steady_clock::time_point played);

/// Starts listening. Reports nothing, on stdout or stderr, whatever it finds or fails to
/// open. Call once, from the main thread.
void midiOpen(MidiNoteOnCallback noteOn, void* context);

/// Stops listening: no call comes once it returns. Safe to call without an open.
void midiClose();

}  // namespace consynth::platform
