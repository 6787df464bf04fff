// The MIDI input's thread opens the first back end that opens, serves it and closes it. A
// frozen JACK server answers no call, so that thread may be held inside JACK's library for
// good: midiClose then leaves it there, after a grace period, and it uses only storage that
// is never destroyed. Note-ons pass through deliver(), which stops passing them on before
// midiClose returns, whatever the back end still does.

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/linux/midi_backends.h"
#include "platform/never_destroyed.h"
#include "platform/threads.h"

namespace consynth::platform {

namespace {

constexpr auto kCloseGrace = std::chrono::milliseconds(300);

struct MidiThread {
  MidiNoteOnCallback noteOn = nullptr;
  void* context = nullptr;
  std::atomic<bool> listening{false};
  std::atomic<int> delivering{0};  ///< deliver() calls in progress

  int wakeFd = -1;
  std::atomic<bool> stopping{false};
  std::thread thread;
  std::mutex mutex;  // guards `finished`
  std::condition_variable changed;
  bool finished = false;
};

NeverDestroyed<MidiThread> midi;

void deliver(void*, int channel, int note, std::chrono::steady_clock::time_point played) {
  midi->delivering.fetch_add(1);
  if (midi->listening.load()) midi->noteOn(midi->context, channel, note, played);
  midi->delivering.fetch_sub(1);
}

void midiMain() {
  nameThisThread("midi-in");
  if (sequencerOpen(deliver, nullptr)) {
    sequencerServe(midi->wakeFd, midi->stopping);
    sequencerClose();
  } else if (jackMidiOpen(deliver, nullptr, midi->wakeFd)) {
    jackMidiServe(midi->wakeFd, midi->stopping);
    jackMidiClose();
  }
  std::lock_guard<std::mutex> guard(midi->mutex);
  midi->finished = true;
  midi->changed.notify_all();
}

void wake(int fd) {
  const uint64_t one = 1;
  if (write(fd, &one, sizeof one) < 0) {
    // An eventfd takes a write until its count nears 2^64; there is no other failure.
  }
}

}  // namespace

void waitForWake(int wakeFd) {
  pollfd fd = {wakeFd, POLLIN, 0};
  while (poll(&fd, 1, -1) < 0 && errno == EINTR) {
  }
  uint64_t count;
  if (read(wakeFd, &count, sizeof count) < 0) {
    // Nothing to take: woken for nothing, which a caller's loop tolerates.
  }
}

void midiOpen(MidiNoteOnCallback noteOn, void* context) {
  if (midi->thread.joinable()) return;
  midi->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (midi->wakeFd < 0) return;
  midi->noteOn = noteOn;
  midi->context = context;
  midi->stopping.store(false);
  midi->finished = false;
  midi->listening.store(true);
  try {
    midi->thread = std::thread(midiMain);
  } catch (const std::system_error&) {
    midi->listening.store(false);
    close(midi->wakeFd);
    midi->wakeFd = -1;
  }
}

void midiClose() {
  if (!midi->thread.joinable()) return;
  midi->listening.store(false);
  while (midi->delivering.load() > 0)
    std::this_thread::yield();  // a note-on being handed on: a moment

  midi->stopping.store(true);
  wake(midi->wakeFd);
  bool finished;
  {
    std::unique_lock<std::mutex> lock(midi->mutex);
    finished = midi->changed.wait_for(lock, kCloseGrace, [] { return midi->finished; });
  }
  if (!finished) {
    midi->thread.detach();  // held by a frozen server: its eventfd stays open for it
    return;
  }
  midi->thread.join();
  close(midi->wakeFd);
  midi->wakeFd = -1;
}

}  // namespace consynth::platform
