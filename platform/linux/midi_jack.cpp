// MIDI from a running JACK server: one MIDI input port, `consynth:midi_in`, connected to
// every MIDI output port of the other clients, those there at start and those registered
// later. Events are read in the process callback, on JACK's thread, without waiting. The
// connecting is done on the MIDI input's thread, which JACK's notification callback wakes:
// JACK takes no server calls from inside its callbacks. A server is never started.

#include <fcntl.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>

#include "platform/linux/midi_backends.h"
#include "platform/midi_decoder.h"

namespace consynth::platform {

namespace {

struct JackMidi {
  jack_client_t* client = nullptr;
  jack_port_t* port = nullptr;
  MidiNoteOnCallback noteOn = nullptr;
  void* context = nullptr;
  int wakeFd = -1;
};

JackMidi jack;

// libjack prints its errors and news to stderr unless told otherwise.
void silentJack(const char*) {}

// Berkeley DB, which libjack opens for its metadata whether or not a server runs, prints
// some errors of its own straight to stderr (a database that another build of it made, as
// under an emulator, is one), and cannot be told otherwise. Nothing else in the program
// writes to stderr, so it points at /dev/null while libjack opens and closes.
class StderrSilenced {
 public:
  StderrSilenced() {
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) return;
    saved_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (saved_ >= 0) dup2(null, STDERR_FILENO);
    close(null);
  }
  ~StderrSilenced() {
    if (saved_ < 0) return;
    dup2(saved_, STDERR_FILENO);
    close(saved_);
  }
  StderrSilenced(const StderrSilenced&) = delete;
  StderrSilenced& operator=(const StderrSilenced&) = delete;

 private:
  int saved_ = -1;
};

// Each event comes with its frame in the cycle; JACK tells the moment of that frame on its
// own clock, which is put on the program's by their difference now.
int process(jack_nframes_t frames, void*) {
  void* buffer = jack_port_get_buffer(jack.port, frames);
  const uint32_t count = jack_midi_get_event_count(buffer);
  if (count == 0) return 0;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point jackEpoch = Clock::now() - std::chrono::microseconds(jack_get_time());
  const jack_nframes_t cycleStart = jack_last_frame_time(jack.client);
  for (uint32_t i = 0; i < count; ++i) {
    jack_midi_event_t event;
    if (jack_midi_event_get(&event, buffer, i) != 0) continue;
    const Clock::time_point played = jackEpoch + std::chrono::microseconds(jack_frames_to_time(
                                                     jack.client, cycleStart + event.time));
    decodePacket(event.buffer, event.size, [played](int channel, int note) {
      jack.noteOn(jack.context, channel, note, played);
    });
  }
  return 0;
}

void portRegistered(jack_port_id_t, int registered, void*) {
  if (!registered) return;
  const uint64_t one = 1;
  if (write(jack.wakeFd, &one, sizeof one) < 0) {
    // Only an eventfd near 2^64 refuses, and then a wake-up is pending anyway.
  }
}

// Connects every MIDI output port of the other clients that is not yet connected to ours.
void connectSources() {
  const char** sources =
      jack_get_ports(jack.client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput);
  if (sources == nullptr) return;
  for (const char** name = sources; *name != nullptr; ++name) {
    jack_port_t* source = jack_port_by_name(jack.client, *name);
    if (source == nullptr || jack_port_is_mine(jack.client, source) ||
        jack_port_connected_to(jack.port, *name)) {
      continue;
    }
    jack_connect(jack.client, *name, jack_port_name(jack.port));
  }
  jack_free(sources);
}

}  // namespace

bool jackMidiOpen(MidiNoteOnCallback noteOn, void* context, int wakeFd) {
  jack_set_error_function(silentJack);
  jack_set_info_function(silentJack);
  const StderrSilenced quiet;
  jack_status_t status;
  jack.client = jack_client_open("consynth", JackNoStartServer, &status);
  if (jack.client == nullptr) return false;
  jack.noteOn = noteOn;
  jack.context = context;
  jack.wakeFd = wakeFd;
  jack.port =
      jack_port_register(jack.client, "midi_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  if (jack.port == nullptr || jack_set_process_callback(jack.client, process, nullptr) != 0 ||
      jack_set_port_registration_callback(jack.client, portRegistered, nullptr) != 0 ||
      jack_activate(jack.client) != 0) {
    jackMidiClose();
    return false;
  }
  return true;
}

void jackMidiServe(int wakeFd, const std::atomic<bool>& stopping) {
  while (!stopping.load()) {
    connectSources();
    waitForWake(wakeFd);
  }
}

void jackMidiClose() {
  const StderrSilenced quiet;
  if (jack.client != nullptr) jack_client_close(jack.client);
  jack = JackMidi();
}

}  // namespace consynth::platform
