// MIDI from every input device the system has at start, each opened with a function
// callback. The system may call back for several devices at once, and each queue of the
// engine takes one producer at a time, so the callbacks take turns through a lock of their
// own, which only they use. No device is no error.

#include <windows.h>
// The MIDI declarations need the base types of <windows.h> first.
#include <mmsystem.h>

#include <chrono>

#include "platform/midi_decoder.h"
#include "platform/midi_input.h"

namespace consynth::platform {

namespace {

constexpr UINT kMaxDevices = 64;

struct MidiDevices {
  HMIDIIN handles[kMaxDevices] = {};
  UINT count = 0;
  CRITICAL_SECTION turn;  ///< one callback at a time
  MidiNoteOnCallback noteOn = nullptr;
  void* context = nullptr;
};

MidiDevices devices;

// A short message (MIM_DATA) holds a whole message with its status byte: the system expands
// running status. System exclusive (MIM_LONGDATA) needs buffers, which are never given.
void CALLBACK midiInCallback(HMIDIIN, UINT message, DWORD_PTR, DWORD_PTR param1, DWORD_PTR) {
  if (message != MIM_DATA && message != MIM_MOREDATA) return;
  const auto bytes = shortMessageBytes(static_cast<uint32_t>(param1));
  const auto arrived = std::chrono::steady_clock::now();  // the system calls back at once
  EnterCriticalSection(&devices.turn);
  decodePacket(bytes.data(), bytes.size(), [arrived](int channel, int note) {
    devices.noteOn(devices.context, channel, note, arrived);
  });
  LeaveCriticalSection(&devices.turn);
}

}  // namespace

void midiOpen(MidiNoteOnCallback noteOn, void* context) {
  InitializeCriticalSection(&devices.turn);
  devices.noteOn = noteOn;
  devices.context = context;
  devices.count = 0;
  const UINT present = midiInGetNumDevs();
  for (UINT id = 0; id < present && devices.count < kMaxDevices; ++id) {
    HMIDIIN handle = nullptr;
    if (midiInOpen(&handle, id, reinterpret_cast<DWORD_PTR>(midiInCallback), 0,
                   CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
      continue;
    }
    devices.handles[devices.count++] = handle;
    midiInStart(handle);
  }
}

void midiClose() {
  for (UINT i = 0; i < devices.count; ++i) {
    midiInStop(devices.handles[i]);
    midiInReset(devices.handles[i]);
    midiInClose(devices.handles[i]);
  }
  if (devices.noteOn != nullptr) DeleteCriticalSection(&devices.turn);
  devices = MidiDevices();
}

}  // namespace consynth::platform
