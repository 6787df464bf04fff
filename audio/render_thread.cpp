#include <algorithm>
#include <cmath>

#include "audio/synth_engine.h"
#include "platform/threads.h"

namespace consynth {

namespace {

// The next MIDI note-on, on the voice it takes.
bool popMidiNoteOn(SynthEngine& engine, NoteOn& noteOn) {
  if (!engine.midiNoteOns.pop(noteOn)) return false;
  noteOn.voice = engine.midiVoices.take();
  return true;
}

// The one place where note-ons from other threads (the keys', then MIDI's) reach the
// voices: before a run of frames, so a voice is rendered wholly before or wholly after each.
// A take keeps each at the frame where it took effect (`offset` frames into the buffer).
void applyNoteOns(SynthEngine& engine, unsigned offset) {
  NoteOn noteOn;
  // What both queues can hold, so that a producer that never pauses cannot hold up a run.
  uint32_t budget = 2 * NoteOnQueue::kCapacity;
  while (budget-- > 0 && (engine.noteOns.pop(noteOn) || popMidiNoteOn(engine, noteOn))) {
    engine.mixer.voices[noteOn.voice].noteOn(noteOn.note, noteOn.patch);
    engine.take.noteOn(offset, noteOn);
  }
}

// Fills one buffer of the ring, a run of frames at a time: each run starts with the
// note-ons that have arrived and the reverb keys as they are now.
void renderBuffer(SynthEngine& engine, float* data, unsigned frames) {
  const RenderPanel& panel = engine.panel;
  engine.take.beginBuffer();
  for (unsigned f = 0; f < frames; f += kControlFrames) {
    applyNoteOns(engine, f);
    const FrameKeys keys = panel.pollKeys(panel.context);
    engine.take.keys(f, keys);
    engine.mixer.renderFrames(keys, data + 2 * f, std::min(kControlFrames, frames - f));
  }
}

// The buffers the device played after running dry, as it marks them (this one, as it was
// written, or one written before), go into the take as the gaps that were heard.
void noteGaps(SynthEngine& engine) {
  for (unsigned k = 0; k < kBufferCount; ++k) {
    std::atomic<uint32_t>& flags = engine.headers[k].flags;
    if (flags.load(std::memory_order_relaxed) & platform::kBufferAfterGap) {
      flags.fetch_and(~platform::kBufferAfterGap, std::memory_order_relaxed);
      engine.take.gapBefore(k);
    }
  }
}

}  // namespace

void renderThreadMain(SynthEngine* engine) {
  platform::prepareAudioThread("render");
  const RenderPanel& panel = engine->panel;
  while (engine->device.load() != nullptr) {
    uint32_t index;
    {
      std::lock_guard<std::mutex> guard(engine->lock);
      index = engine->ringIndex;
      platform::AudioBuffer& header = engine->headers[index];
      const unsigned frames = header.bytes / platform::kBytesPerFrame;
      renderBuffer(*engine, header.data, frames);

      panel.showStatus(panel.context, engine->mixer.lpfnum, engine->mixer.type,
                       static_cast<double>(std::abs(header.data[0])));
      // Before the write, so that a mark on this buffer's last contents is taken for them.
      noteGaps(*engine);
      if (platform::audioWrite(engine->device.load(), header)) engine->take.written(index);
      noteGaps(*engine);
      engine->take.endBuffer(header.data, frames);
      engine->ringIndex = (index + 1) % kBufferCount;
    }
    engine->credits->acquire();
    panel.showIndex(panel.context, index);
  }
  engine->renderThreadDone.store(true);
}

}  // namespace consynth
