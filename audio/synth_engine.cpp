#include "audio/synth_engine.h"

#include <chrono>
#include <cstring>
#include <system_error>

namespace consynth {

namespace {

using namespace std::chrono_literals;

// How long close waits for the render thread, then for the device to play what is queued,
// before it treats the device as gone. Either normally takes at most a few buffer periods.
constexpr auto kThreadStopGrace = 300ms;
constexpr auto kDrainGrace = 300ms;
constexpr auto kRetestPeriod = 10ms;

void onBufferDone(void* context) {
  static_cast<SynthEngine*>(context)->credits->release();
}

bool allBuffersDone(const SynthEngine& engine) {
  for (const platform::AudioBuffer& header : engine.headers) {
    if (!(header.flags.load(std::memory_order_acquire) & platform::kBufferDone)) return false;
  }
  return true;
}

}  // namespace

void SynthEngine::open() {
  std::memset(buffers, 0, sizeof buffers);
  for (Voice& voice : mixer.voices) {
    voice = Voice{};
  }
  ringIndex = 0;
  credits.reset();
  noteOns.clear();
  droppedNoteOns.store(0);
  midiNoteOns.clear();
  droppedMidiNoteOns.store(0);
  midiVoices.reset();
  renderThreadDone.store(false);
  for (platform::AudioBuffer& header : headers)
    header.flags.fetch_and(~platform::kBufferAfterGap);
  take.start(takeQueue);

  // The credits must exist before the device can call back.
  credits.emplace(kInitialCredits, kMaxCredits);
  // A take is made whether or not there is a device to hear it.
  platform::AudioDevice* opened = platform::audioOpen(
      onBufferDone, this,
      take.recording() ? platform::WithoutDevice::KeepTime : platform::WithoutDevice::Fail);
  if (opened == nullptr) {
    credits.reset();
    return;
  }
  device.store(opened);

  for (unsigned k = 0; k < kBufferCount; ++k) {
    platform::AudioBuffer& header = headers[k];
    header.data = buffers[k];
    header.bytes = kFramesPerBuffer * platform::kBytesPerFrame;
    header.flags.store(0);
    platform::audioPrepare(opened, header);
    platform::audioWrite(opened, header);
  }
  try {
    renderThread = std::thread(renderThreadMain, this);
  } catch (const std::system_error&) {
    // No thread, no stream: give the device back and run silent, as without a device.
    device.store(nullptr);
    platform::audioReset(opened);
    platform::audioClose(opened);
    credits.reset();
  }
}

void SynthEngine::close() {
  platform::AudioDevice* const stopping = device.exchange(nullptr);
  if (stopping == nullptr) return;

  // The render thread ends after its next credit. A device that has stopped returning
  // buffers never sends one, so after a grace period close grants it one itself; the
  // ceiling on the credits makes that harmless when the device is only slow.
  const auto threadDeadline = std::chrono::steady_clock::now() + kThreadStopGrace;
  while (!renderThreadDone.load() && std::chrono::steady_clock::now() < threadDeadline) {
    std::this_thread::sleep_for(kRetestPeriod);
  }
  const bool deviceGone = !renderThreadDone.load();
  if (deviceGone) credits->release();
  renderThread.join();

  // A device that returned no buffer for so long will not return the rest either.
  const auto drainDeadline = std::chrono::steady_clock::now() + (deviceGone ? 0ms : kDrainGrace);
  while (!allBuffersDone(*this) && std::chrono::steady_clock::now() < drainDeadline) {
    std::this_thread::sleep_for(kRetestPeriod);
  }

  for (platform::AudioBuffer& header : headers) {
    platform::audioUnprepare(stopping, header);
  }
  platform::audioReset(stopping);
  platform::audioClose(stopping);
  // Only now can no completion call reach the credits any more.
  credits.reset();
}

void SynthEngine::noteOn(int voice, int note, uint32_t patch) {
  if (renderThread.joinable()) {
    if (!noteOns.push(NoteOn{voice, note, patch})) {
      droppedNoteOns.fetch_add(1, std::memory_order_relaxed);
    }
  } else {
    mixer.voices[voice].noteOn(note, patch);
  }
}

void SynthEngine::midiNoteOn(int midiNote) {
  if (!midiNoteOns.push(NoteOn{MidiVoices::kFirst, midiNote + kMidiNoteOffset, kKeyPatch})) {
    droppedMidiNoteOns.fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace consynth
