#include <algorithm>
#include <cmath>

#include "engine/synth_engine.h"
#include "platform/threads.h"

namespace consynth {

// The next MIDI note-on, on the voice it takes.
bool SynthEngine::popMidiNoteOn(NoteOn& noteOn) {
  if (!midiNoteOns_.pop(noteOn)) return false;
  noteOn.voice = midiVoices_.take();
  return true;
}

// The one place where note-ons from other threads (the keys', then MIDI's) reach the
// voices: before a run of frames, so a voice is rendered wholly before or wholly after each.
// A take keeps each at the frame where it took effect (`offset` frames into the buffer).
void SynthEngine::applyNoteOns(unsigned offset) {
  NoteOn noteOn;
  // What both queues can hold, so that a producer that never pauses cannot hold up a run.
  uint32_t budget = 2 * NoteOnQueue::kCapacity;
  while (budget-- > 0 && (noteOns_.pop(noteOn) || popMidiNoteOn(noteOn))) {
    mixer_.voices[noteOn.voice].noteOn(noteOn.note, noteOn.patch);
    take_.noteOn(offset, noteOn);
  }
}

// Fills one buffer of the ring, a run of frames at a time: each run starts with the
// note-ons that have arrived and the reverb keys as they are now.
void SynthEngine::renderBuffer(float* data, unsigned frames) {
  take_.beginBuffer();
  for (unsigned f = 0; f < frames; f += kControlFrames) {
    applyNoteOns(f);
    const FrameKeys keys = panel_.pollKeys(panel_.context);
    take_.keys(f, keys);
    mixer_.renderFrames(keys, data + 2 * f, std::min(kControlFrames, frames - f));
  }
}

// The buffers the device played after running dry, as it marks them (this one, as it was
// written, or one written before), go into the take as the gaps that were heard.
void SynthEngine::noteGaps() {
  for (unsigned k = 0; k < kBufferCount; ++k) {
    std::atomic<uint32_t>& flags = headers_[k].flags;
    if (flags.load(std::memory_order_relaxed) & platform::kBufferAfterGap) {
      flags.fetch_and(~platform::kBufferAfterGap, std::memory_order_relaxed);
      take_.gapBefore(k);
    }
  }
}

// Fills, submits and paces the ring until close clears the device.
void SynthEngine::renderLoop() {
  platform::prepareAudioThread("render");
  while (device_.load() != nullptr) {
    uint32_t index;
    {
      std::lock_guard<std::mutex> guard(lock_);
      index = ringIndex_;
      platform::AudioBuffer& header = headers_[index];
      const unsigned frames = header.bytes / platform::kBytesPerFrame;
      renderBuffer(header.data, frames);

      panel_.showStatus(panel_.context, mixer_.lpfnum, mixer_.type,
                        static_cast<double>(std::abs(header.data[0])));
      if (panel_.showLevels != nullptr) panel_.showLevels(panel_.context, header.data, frames);
      // Before the write, so that a mark on this buffer's last contents is taken for them.
      noteGaps();
      if (platform::audioWrite(device_.load(), header)) take_.written(index);
      noteGaps();
      take_.endBuffer(header.data, frames);
      ringIndex_ = (index + 1) % kBufferCount;
    }
    credits_->acquire();
    panel_.showIndex(panel_.context, index);
  }
  renderThreadDone_.store(true);
}

}  // namespace consynth
