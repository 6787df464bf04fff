#include "audio/frame_mixer.h"

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

  if (keys.upPressed) lpfnum = (lpfnum + 1) % Reverb::kLpfCount;
  if (keys.downPressed) type = (type + 1) % Reverb::kTypeCount;

  if (!keys.bypass) {
    left = reverbs[0].process(left, type, 0, lpfnum);
    right = reverbs[1].process(right, type, 1, lpfnum);
  }
  out[0] = left;
  out[1] = right;
}

void FrameMixer::renderFrames(const FrameKeys& keys, float* interleaved, unsigned frames) {
  for (unsigned f = 0; f < frames; ++f)
    renderFrame(keys, interleaved + 2 * f);
}

}  // namespace consynth
