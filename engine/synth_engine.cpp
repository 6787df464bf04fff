#include "engine/synth_engine.h"

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

}  // namespace

void SynthEngine::onBufferDone(void* context) {
  static_cast<SynthEngine*>(context)->credits_->release();
}

bool SynthEngine::allBuffersDone() const {
  for (const platform::AudioBuffer& header : headers_) {
    if (!(header.flags.load(std::memory_order_acquire) & platform::kBufferDone)) return false;
  }
  return true;
}

void SynthEngine::open() {
  std::memset(buffers_, 0, sizeof buffers_);
  for (Voice& voice : mixer_.voices) {
    voice = Voice{};
  }
  ringIndex_ = 0;
  credits_.reset();
  noteOns_.clear();
  droppedNoteOns_.store(0);
  midiNoteOns_.clear();
  droppedMidiNoteOns_.store(0);
  midiVoices_.reset();
  renderThreadDone_.store(false);
  for (platform::AudioBuffer& header : headers_)
    header.flags.fetch_and(~platform::kBufferAfterGap);
  take_.start(takeQueue_);

  // The credits must exist before the device can call back.
  credits_.emplace(kInitialCredits, kMaxCredits);
  // A take is made whether or not there is a device to hear it.
  const bool keepTime = take_.recording() || output_.keepTrying;
  const platform::StreamSettings settings = {
      .sampleRate = kSampleRate,
      .withoutDevice = keepTime ? platform::WithoutDevice::KeepTime : platform::WithoutDevice::Fail,
      .device = output_.device.c_str(),
      .gain = output_.gain,
  };
  platform::AudioDevice* opened = platform::audioOpen(settings, onBufferDone, this);
  if (opened == nullptr) {
    credits_.reset();
    return;
  }
  device_.store(opened);

  for (unsigned k = 0; k < kBufferCount; ++k) {
    platform::AudioBuffer& header = headers_[k];
    header.data = buffers_[k];
    header.bytes = kFramesPerBuffer * platform::kBytesPerFrame;
    header.flags.store(0);
    platform::audioPrepare(opened, header);
    platform::audioWrite(opened, header);
  }
  rendering_.store(true, std::memory_order_release);
  try {
    renderThread_ = std::thread(&SynthEngine::renderLoop, this);
  } catch (const std::system_error&) {
    // No thread, no stream: give the device back and run silent, as without a device.
    rendering_.store(false);
    device_.store(nullptr);
    platform::audioReset(opened);
    platform::audioClose(opened);
    credits_.reset();
  }
}

void SynthEngine::close() {
  platform::AudioDevice* const stopping = device_.exchange(nullptr);
  if (stopping == nullptr) return;

  // The render thread ends after its next credit. A device that has stopped returning
  // buffers never sends one, so after a grace period close grants it one itself; the
  // ceiling on the credits makes that harmless when the device is only slow.
  const auto threadDeadline = std::chrono::steady_clock::now() + kThreadStopGrace;
  while (!renderThreadDone_.load() && std::chrono::steady_clock::now() < threadDeadline) {
    std::this_thread::sleep_for(kRetestPeriod);
  }
  const bool deviceGone = !renderThreadDone_.load();
  if (deviceGone) credits_->release();
  renderThread_.join();
  rendering_.store(false, std::memory_order_release);

  // A device that returned no buffer for so long will not return the rest either.
  const auto drainDeadline = std::chrono::steady_clock::now() + (deviceGone ? 0ms : kDrainGrace);
  while (!allBuffersDone() && std::chrono::steady_clock::now() < drainDeadline) {
    std::this_thread::sleep_for(kRetestPeriod);
  }

  for (platform::AudioBuffer& header : headers_) {
    platform::audioUnprepare(stopping, header);
  }
  platform::audioReset(stopping);
  platform::audioClose(stopping);
  // Only now can no completion call reach the credits any more.
  credits_.reset();
}

void SynthEngine::noteOn(int voice, int note, uint32_t patch) {
  if (rendering_.load(std::memory_order_acquire)) {
    if (!noteOns_.push(NoteOn{voice, note, patch})) {
      droppedNoteOns_.fetch_add(1, std::memory_order_relaxed);
    }
  } else {
    mixer_.voices[voice].noteOn(note, patch);
  }
}

void SynthEngine::midiNoteOn(int midiNote) {
  if (!midiNoteOns_.push(NoteOn{MidiVoices::kFirst, midiNote + kMidiNoteOffset, kKeyPatch})) {
    droppedMidiNoteOns_.fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace consynth
