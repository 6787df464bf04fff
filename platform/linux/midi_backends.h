#pragma once

#include <atomic>

#include "platform/midi_input.h"

// Linux's two ways to MIDI sources, each run on the MIDI input's own thread: open, serve
// until told to stop, close. midiOpen takes the first that opens and only that one, so a
// keyboard that both can see is never heard twice.
//
// While serving, a back end waits on `wakeFd`, an eventfd that midiClose writes to when
// `stopping` is set (a back end may write to it too, to wake itself).

namespace consynth::platform {

/// The ALSA sequencer, where the kernel has one: false, with nothing left open, if it cannot
/// be opened.
bool sequencerOpen(MidiNoteOnCallback noteOn, void* context);
void sequencerServe(int wakeFd, const std::atomic<bool>& stopping);
void sequencerClose();

/// A JACK server already running (jackd, or PipeWire's JACK): false if none answers.
bool jackMidiOpen(MidiNoteOnCallback noteOn, void* context, int wakeFd);
void jackMidiServe(int wakeFd, const std::atomic<bool>& stopping);
void jackMidiClose();

/// Waits until `wakeFd` is written to, and takes what was written.
void waitForWake(int wakeFd);

}  // namespace consynth::platform
