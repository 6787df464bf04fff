#include <cmath>

#include "audio/synth_engine.h"
#include "platform/console.h"
#include "platform/keyboard.h"

namespace consynth {

namespace {

using platform::Key;

FrameKeys pollFrameKeys() {
  FrameKeys keys;
  keys.upPressed = (platform::keyState(Key::Up) & platform::kKeyPressedSinceQuery) != 0;
  keys.downPressed = (platform::keyState(Key::Down) & platform::kKeyPressedSinceQuery) != 0;
  keys.bypass = (platform::keyState(Key::F5) & platform::kKeyDownNow) != 0;
  return keys;
}

// Fills one buffer of the ring, frame by frame, applying note-ons as they arrive.
void renderBuffer(SynthEngine& engine, float* data, unsigned frames) {
  for (unsigned f = 0; f < frames; ++f) {
    NoteOn noteOn;
    while (engine.noteOns.pop(noteOn)) {
      engine.mixer.voices[noteOn.voice].noteOn(noteOn.note, noteOn.patch);
    }
    engine.mixer.renderFrame(pollFrameKeys(), data + 2 * f);
  }
}

}  // namespace

void renderThreadMain(SynthEngine* engine) {
  while (engine->device.load() != nullptr) {
    uint32_t index;
    {
      std::lock_guard<std::mutex> guard(engine->lock);
      index = engine->ringIndex;
      platform::AudioBuffer& header = engine->headers[index];
      renderBuffer(*engine, header.data, header.bytes / platform::kBytesPerFrame);

      platform::consolePrint("lpfnum:%d : type=%d : mon : %03.6f\r", engine->mixer.lpfnum,
                             engine->mixer.type, static_cast<double>(std::abs(header.data[0])));
      platform::audioWrite(engine->device.load(), header);
      engine->ringIndex = (index + 1) % kBufferCount;
    }
    engine->credits->acquire();
    platform::consolePrint("index = %d\n", static_cast<int>(index));
  }
  engine->renderThreadDone.store(true);
}

}  // namespace consynth
