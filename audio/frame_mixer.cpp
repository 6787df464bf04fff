#include "audio/frame_mixer.h"

#include <algorithm>

namespace consynth {

void FrameMixer::renderFrame(const FrameKeys& keys, float out[2]) {
  float left = 0.0f;
  float right = 0.0f;
  for (Voice& voice : voices) {
    float voiceOut[2] = {0.0f, 0.0f};
    voice.render(voiceOut, noise);
    left = voiceOut[0] * 0.5f + left;
    right = voiceOut[1] * 0.5f + right;
  }

  stepControls(keys);

  if (!keys.bypass) {
    left = reverbs[0].process(left, type, 0, lpfnum);
    right = reverbs[1].process(right, type, 1, lpfnum);
  }
  out[0] = left;
  out[1] = right;
}

void FrameMixer::stepControls(const FrameKeys& keys) {
  if (keys.upPressed) lpfnum = (lpfnum + 1) % Reverb::kLpfCount;
  if (keys.downPressed) type = (type + 1) % Reverb::kTypeCount;
}

void FrameMixer::renderFrames(const FrameKeys& keys, float* interleaved, unsigned frames) {
  if (frames == 0) return;
  stepControls(keys);

  for (unsigned start = 0; start < frames; start += kBlockFrames) {
    const unsigned count = std::min(kBlockFrames, frames - start);
    float dry[kBlockFrames];
    float left[kBlockFrames];
    float right[kBlockFrames];
    mixVoices(dry, count);
    if (keys.bypass) {
      std::copy(dry, dry + count, left);
      std::copy(dry, dry + count, right);
    } else {
      reverbs[0].processBlock(dry, left, count, type, 0, lpfnum);
      reverbs[1].processBlock(dry, right, count, type, 1, lpfnum);
    }
    float* out = interleaved + 2 * start;
    for (unsigned f = 0; f < count; ++f) {
      out[2 * f] = left[f];
      out[2 * f + 1] = right[f];
    }
  }
}

void FrameMixer::mixVoices(float* dry, unsigned frames) {
  float voiceOut[kVoiceCount][kBlockFrames];

  // A resting voice repeats one value for the whole block. The others render frame by
  // frame in voice order, which keeps the shared noise stream in order and lets the
  // filter chains of several voices overlap.
  bool active[kVoiceCount];
  for (int v = 0; v < kVoiceCount; ++v) {
    active[v] = !voices[v].resting();
    if (!active[v]) std::fill(voiceOut[v], voiceOut[v] + frames, voices[v].restingOutput());
  }
  for (unsigned f = 0; f < frames; ++f) {
    for (int v = 0; v < kVoiceCount; ++v) {
      if (!active[v]) continue;
      float out[2] = {0.0f, 0.0f};
      voices[v].render(out, noise);
      voiceOut[v][f] = out[0];
    }
  }

  for (unsigned f = 0; f < frames; ++f)
    dry[f] = 0.0f;
  for (int v = 0; v < kVoiceCount; ++v) {
    for (unsigned f = 0; f < frames; ++f)
      dry[f] = voiceOut[v][f] * 0.5f + dry[f];
  }
}

}  // namespace consynth
