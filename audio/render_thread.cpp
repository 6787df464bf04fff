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
void applyNoteOns(SynthEngine& engine) {
  NoteOn noteOn;
  // What both queues can hold, so that a producer that never pauses cannot hold up a run.
  uint32_t budget = 2 * NoteOnQueue::kCapacity;
  while (budget-- > 0 && (engine.noteOns.pop(noteOn) || popMidiNoteOn(engine, noteOn))) {
    engine.mixer.voices[noteOn.voice].noteOn(noteOn.note, noteOn.patch);
  }
}

// Fills one buffer of the ring, a run of frames at a time: each run starts with the
// note-ons that have arrived and the reverb keys as they are now.
void renderBuffer(SynthEngine& engine, float* data, unsigned frames) {
  const RenderPanel& panel = engine.panel;
  for (unsigned f = 0; f < frames; f += kControlFrames) {
    applyNoteOns(engine);
    const FrameKeys keys = panel.pollKeys(panel.context);
    engine.mixer.renderFrames(keys, data + 2 * f, std::min(kControlFrames, frames - f));
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
      renderBuffer(*engine, header.data, header.bytes / platform::kBytesPerFrame);

      panel.showStatus(panel.context, engine->mixer.lpfnum, engine->mixer.type,
                       static_cast<double>(std::abs(header.data[0])));
      platform::audioWrite(engine->device.load(), header);
      engine->ringIndex = (index + 1) % kBufferCount;
    }
    engine->credits->acquire();
    panel.showIndex(panel.context, index);
  }
  engine->renderThreadDone.store(true);
}

}  // namespace consynth
