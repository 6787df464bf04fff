#include <algorithm>
#include <cmath>

#include "audio/synth_engine.h"
#include "platform/console.h"
#include "platform/keyboard.h"
#include "platform/threads.h"

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

// Note-ons and the reverb keys are taken every 64 frames (1.45 ms), so that the mixer can
// render each run as one block. Each press of Up or Down still steps its control once, and
// F5 bypasses for as long as it is held, to within a run.
constexpr unsigned kControlFrames = 64;

// Fills one buffer of the ring, applying note-ons as they arrive.
void renderBuffer(SynthEngine& engine, float* data, unsigned frames) {
  for (unsigned f = 0; f < frames; f += kControlFrames) {
    NoteOn noteOn;
    while (engine.noteOns.pop(noteOn)) {
      engine.mixer.voices[noteOn.voice].noteOn(noteOn.note, noteOn.patch);
    }
    engine.mixer.renderFrames(pollFrameKeys(), data + 2 * f, std::min(kControlFrames, frames - f));
  }
}

}  // namespace

void renderThreadMain(SynthEngine* engine) {
  platform::prepareAudioThread("render");
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
