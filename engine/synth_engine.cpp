#include "engine/synth_engine.h"

#include <chrono>
#include <cstring>
#include <system_error>

#include "platform/memory.h"

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
  for (unsigned k = 0; k < ring_.periods; ++k) {
    if (!(headers_[k].flags.load(std::memory_order_acquire) & platform::kBufferDone)) return false;
  }
  return true;
}

// The reverbs' delay lines are megabytes that start untouched: the render thread would take
// a page fault wherever a line first reaches new memory. So every page is touched now (the
// values stay as they are) and the engine is kept in memory where the system allows.
void SynthEngine::residentInMemory() {
  constexpr size_t kPageFloats = 4096 / sizeof(float);
  for (Reverb& reverb : mixer_.reverbs) {
    for (DelayLine& line : reverb.lines) {
      for (size_t i = 0; i < DelayLine::kCapacity; i += kPageFloats) {
        volatile float& sample = line.samples[i];
        sample = sample;
      }
    }
  }
  platform::keepInMemory(this, sizeof *this);
}

void SynthEngine::open() {
  residentInMemory();
  std::memset(buffers_, 0, sizeof buffers_);
  for (Voice& voice : mixer_.voices) {
    voice = Voice{};
  }
  ring_ = asked_;
  ringIndex_ = 0;
  renderedFrames_ = 0;
  renderedBuffers_ = 0;
  haveNextMidi_ = false;
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

  // The credits must exist before the device can call back: one less than the ring's
  // buffers, since the render thread fills one more before it first waits.
  const int periods = static_cast<int>(ring_.periods);
  credits_.emplace(periods - 1, periods);
  // A take is made whether or not there is a device to hear it.
  const bool keepTime = take_.recording() || output_.keepTrying;
  const platform::StreamSettings settings = {
      .sampleRate = kSampleRate,
      .periodFrames = ring_.periodFrames,
      .periods = ring_.periods,
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
  // A device that cannot take periods as short as asked for gets the ring's next longer.
  while (ring_.periodFrames < kFramesPerBuffer &&
         ring_.periodFrames < platform::audioPeriodFrames(opened)) {
    ring_.periodFrames *= 2;
  }
  midiTimeline_.reset(kSampleRate, ring_.periodFrames, ring_.periods);

  for (unsigned k = 0; k < ring_.periods; ++k) {
    platform::AudioBuffer& header = headers_[k];
    header.data = buffers_[k];
    header.bytes = ring_.periodFrames * platform::kBytesPerFrame;
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

  for (unsigned k = 0; k < ring_.periods; ++k) {
    platform::audioUnprepare(stopping, headers_[k]);
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

void SynthEngine::midiNoteOn(int midiNote, MidiTimeline::Clock::time_point arrived) {
  if (!midiNoteOns_.push(
          NoteOn{MidiVoices::kFirst, midiNote + kMidiNoteOffset, kKeyPatch, arrived})) {
    droppedMidiNoteOns_.fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace consynth
