// MIDI from the ALSA sequencer: a client `consynth` with one writable port, connected to
// every port that listensTo() picks, those there at start and, through the system's
// announcements, each one that appears later. The MIDI input's thread reads the events.

#include <poll.h>

#include <cerrno>
#include <chrono>

#include "platform/linux/midi_backends.h"
#include "platform/linux/sequencer_ports.h"
#include "platform/midi_decoder.h"

namespace consynth::platform {

namespace {

constexpr int kMaxPollFds = 8;

struct Sequencer {
  snd_seq_t* seq = nullptr;
  int client = -1;
  int port = -1;
  MidiNoteOnCallback noteOn = nullptr;
  void* context = nullptr;
};

Sequencer sequencer;

// ALSA prints its errors to stderr unless told otherwise.
void silentAlsaError(const char*, int, const char*, int, const char*, ...) {}

void connectIfSource(const snd_seq_port_info_t* info) {
  const int client = snd_seq_port_info_get_client(info);
  if (listensTo(client, snd_seq_port_info_get_capability(info), sequencer.client)) {
    snd_seq_connect_from(sequencer.seq, sequencer.port, client, snd_seq_port_info_get_port(info));
  }
}

void connectSources() {
  snd_seq_client_info_t* clientInfo;
  snd_seq_port_info_t* portInfo;
  snd_seq_client_info_alloca(&clientInfo);
  snd_seq_port_info_alloca(&portInfo);
  snd_seq_client_info_set_client(clientInfo, -1);
  while (snd_seq_query_next_client(sequencer.seq, clientInfo) >= 0) {
    snd_seq_port_info_set_client(portInfo, snd_seq_client_info_get_client(clientInfo));
    snd_seq_port_info_set_port(portInfo, -1);
    while (snd_seq_query_next_port(sequencer.seq, portInfo) >= 0)
      connectIfSource(portInfo);
  }
}

// `arrived`: when the events read with this one reached the program.
void handle(const snd_seq_event_t& event, std::chrono::steady_clock::time_point arrived) {
  if (event.type == SND_SEQ_EVENT_NOTEON || event.type == SND_SEQ_EVENT_NOTE) {
    const snd_seq_ev_note_t& note = event.data.note;
    const auto bytes = sequencerNoteOnBytes(note.channel, note.note, note.velocity);
    decodePacket(bytes.data(), bytes.size(), [arrived](int channel, int played) {
      sequencer.noteOn(sequencer.context, channel, played, arrived);
    });
  } else if (event.type == SND_SEQ_EVENT_PORT_START) {
    snd_seq_port_info_t* info;
    snd_seq_port_info_alloca(&info);
    if (snd_seq_get_any_port_info(sequencer.seq, event.data.addr.client, event.data.addr.port,
                                  info) >= 0) {
      connectIfSource(info);
    }
  }
}

bool setUp() {
  if (snd_seq_open(&sequencer.seq, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK) < 0) {
    sequencer.seq = nullptr;
    return false;
  }
  snd_seq_set_client_name(sequencer.seq, "consynth");
  sequencer.client = snd_seq_client_id(sequencer.seq);
  sequencer.port = snd_seq_create_simple_port(
      sequencer.seq, "midi_in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
      SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
  return sequencer.client >= 0 && sequencer.port >= 0 &&
         snd_seq_poll_descriptors_count(sequencer.seq, POLLIN) <= kMaxPollFds &&
         snd_seq_connect_from(sequencer.seq, sequencer.port, SND_SEQ_CLIENT_SYSTEM,
                              SND_SEQ_PORT_SYSTEM_ANNOUNCE) >= 0;
}

}  // namespace

bool sequencerOpen(MidiNoteOnCallback noteOn, void* context) {
  snd_lib_error_set_handler(silentAlsaError);
  sequencer.noteOn = noteOn;
  sequencer.context = context;
  if (!setUp()) {
    sequencerClose();
    return false;
  }
  connectSources();
  return true;
}

void sequencerServe(int wakeFd, const std::atomic<bool>& stopping) {
  pollfd fds[kMaxPollFds + 1];
  const int count = snd_seq_poll_descriptors(sequencer.seq, fds, kMaxPollFds, POLLIN);
  fds[count] = {wakeFd, POLLIN, 0};
  while (!stopping.load()) {
    if (poll(fds, count + 1, -1) < 0 && errno != EINTR) return;
    const auto arrived = std::chrono::steady_clock::now();
    snd_seq_event_t* event;
    int result;
    // -ENOSPC: the kernel dropped events while we were away; read on.
    while ((result = snd_seq_event_input(sequencer.seq, &event)) >= 0 || result == -ENOSPC) {
      if (result >= 0) handle(*event, arrived);
    }
  }
}

void sequencerClose() {
  if (sequencer.seq != nullptr) snd_seq_close(sequencer.seq);
  sequencer = Sequencer();
}

}  // namespace consynth::platform
