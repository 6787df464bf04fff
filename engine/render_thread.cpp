#include <algorithm>
#include <cmath>

#include "engine/synth_engine.h"
#include "platform/threads.h"

namespace consynth {

// The one place where the keys' note-ons reach the voices: before a run of frames, so a
// voice is rendered wholly before or wholly after each. A take keeps each at the frame where
// it took effect (`offset` frames into the buffer).
void SynthEngine::applyNoteOns(unsigned offset) {
  NoteOn noteOn;
  // What the queue can hold, so that a producer that never pauses cannot hold up a run.
  for (uint32_t budget = NoteOnQueue::kCapacity; budget > 0 && noteOns_.pop(noteOn); --budget) {
    mixer_.voices[noteOn.voice].noteOn(noteOn.note, noteOn.patch);
    take_.noteOn(offset, noteOn);
  }
}

// Where, in the frames [from, end) of the buffer being rendered, the next MIDI note-on
// starts; `end` if none does. Each note-on taken from the queue is given its frame then.
unsigned SynthEngine::nextMidiNoteOn(unsigned from, unsigned end) {
  if (!haveNextMidi_) {
    if (!midiNoteOns_.pop(nextMidi_)) return end;
    haveNextMidi_ = true;
    nextMidiFrame_ = midiTimeline_.place(nextMidi_.arrived, renderedFrames_ + from);
  }
  const uint64_t last = renderedFrames_ + end;
  return nextMidiFrame_ < last ? static_cast<unsigned>(nextMidiFrame_ - renderedFrames_) : end;
}

// The MIDI note-ons that start at `offset`, each on the voice it takes, up to what the
// queue holds, so that a flood cannot hold up a run.
void SynthEngine::applyMidiNoteOns(unsigned offset) {
  for (uint32_t budget = NoteOnQueue::kCapacity; budget > 0; --budget) {
    if (nextMidiNoteOn(offset, offset + 1) != offset) return;
    haveNextMidi_ = false;
    nextMidi_.voice = midiVoices_.take();
    mixer_.voices[nextMidi_.voice].noteOn(nextMidi_.note, nextMidi_.patch);
    take_.noteOn(offset, nextMidi_);
  }
}

// Fills one buffer of the ring, a run of frames at a time: each run starts with the keys'
// note-ons that have arrived and the reverb keys as they are now. A MIDI note-on splits the
// run at the frame where it starts.
void SynthEngine::renderBuffer(float* data, unsigned frames) {
  take_.beginBuffer();
  for (unsigned run = 0; run < frames; run += kControlFrames) {
    applyNoteOns(run);
    FrameKeys keys = panel_.pollKeys(panel_.context);
    take_.keys(run, keys);
    const unsigned end = std::min(run + kControlFrames, frames);
    for (unsigned at = run; at < end;) {
      applyMidiNoteOns(at);
      const unsigned next = nextMidiNoteOn(at + 1, end);
      mixer_.renderFrames(keys, data + 2 * at, next - at);
      keys.upPressed = keys.downPressed = false;  // each steps its control once
      at = next;
    }
  }
}

// The buffers the device played after running dry, as it marks them (this one, as it was
// written, or one written before), go into the take as the gaps that were heard.
void SynthEngine::noteGaps() {
  for (unsigned k = 0; k < ring_.periods; ++k) {
    std::atomic<uint32_t>& flags = headers_[k].flags;
    if (flags.load(std::memory_order_relaxed) & platform::kBufferAfterGap) {
      flags.fetch_and(~platform::kBufferAfterGap, std::memory_order_relaxed);
      take_.gapBefore(k);
    }
  }
}

// Fills, submits and paces the ring until close clears the device. The console shows the
// lines of one buffer in every 512 frames; they are printed outside the lock.
void SynthEngine::renderLoop() {
  platform::prepareAudioThread("render");
  while (device_.load() != nullptr) {
    midiTimeline_.bufferStarts(renderedFrames_, MidiTimeline::Clock::now());
    uint32_t index;
    const float* data;
    unsigned frames;
    {
      std::lock_guard<std::mutex> guard(lock_);
      index = ringIndex_;
      platform::AudioBuffer& header = headers_[index];
      data = header.data;
      frames = header.bytes / platform::kBytesPerFrame;
      renderBuffer(header.data, frames);

      // Before the write, so that a mark on this buffer's last contents is taken for them.
      noteGaps();
      if (platform::audioWrite(device_.load(), header)) take_.written(index);
      noteGaps();
      take_.endBuffer(header.data, frames);
      ringIndex_ = (index + 1) % ring_.periods;
      renderedFrames_ += frames;
    }
    // Only this thread writes the buffer; the device has its own copy.
    if (panel_.showLevels != nullptr) panel_.showLevels(panel_.context, data, frames);
    const bool shown = renderedBuffers_++ % ring_.buffersPerLine() == 0;
    if (shown) {
      panel_.showStatus(panel_.context, mixer_.lpfnum, mixer_.type,
                        static_cast<double>(std::abs(data[0])));
    }
    credits_->acquire();
    if (shown) panel_.showIndex(panel_.context, index);
  }
  take_.finish();
  platform::finishAudioThread();
  renderThreadDone_.store(true);
}

}  // namespace consynth
