#include "instrument/frame_mixer.h"

#include <algorithm>

#include "instrument/best_paths.h"

namespace consynth {

void FrameMixer::renderFrame(const FrameKeys& keys, float out[2]) {
  float left = 0.0f;
  float right = 0.0f;
  for (Voice& voice : voices) {
    float voiceOut[2] = {0.0f, 0.0f};
    voice.render(voiceOut, noise);
    left = voiceOut[0] * kVoiceGain + left;
    right = voiceOut[1] * kVoiceGain + right;
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
      const ReverbBlockPath& reverb = reverbPath ? *reverbPath : bestReverbBlockPath();
      reverb.run(reverbs[0], dry, left, count, type, 0, lpfnum);
      reverb.run(reverbs[1], dry, right, count, type, 1, lpfnum);
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

  // A resting voice repeats one value for the whole block. The tail of a silent voice is
  // its filter alone; the sounding voices are rendered together.
  int sounding[kVoiceCount];
  int soundingCount = 0;
  int tails[kVoiceCount];
  int tailCount = 0;
  for (int v = 0; v < kVoiceCount; ++v) {
    const Voice& voice = voices[v];
    if (voice.resting()) {
      std::fill(voiceOut[v], voiceOut[v] + frames, voice.restingOutput());
    } else if (voice.silent()) {
      tails[tailCount++] = v;
    } else {
      sounding[soundingCount++] = v;
    }
  }
  if (soundingCount > 0) renderSounding(sounding, soundingCount, frames, voiceOut);
  // Frame by frame across the voices, so that their filter chains overlap.
  for (unsigned f = 0; f < frames; ++f) {
    for (int i = 0; i < tailCount; ++i) {
      Voice& voice = voices[tails[i]];
      voiceOut[tails[i]][f] = voice.filter(0.0f, voice.level);
    }
  }

  for (unsigned f = 0; f < frames; ++f)
    dry[f] = 0.0f;
  for (int v = 0; v < kVoiceCount; ++v) {
    for (unsigned f = 0; f < frames; ++f)
      dry[f] = voiceOut[v][f] * kVoiceGain + dry[f];
  }
}

void FrameMixer::renderSounding(const int* sounding, int count, unsigned frames,
                                float (*out)[kBlockFrames]) {
  static_assert(kBlockFrames <= kOscillatorMaxLanes, "one oscillator call per voice and block");
  float draws[kVoiceCount][kBlockFrames];    // each voice's noise draws
  double phases[kVoiceCount][kBlockFrames];  // what the oscillator reads, frame by frame
  double levels[kVoiceCount][kBlockFrames];  // what the filter reads
  float sums[kVoiceCount][kBlockFrames];     // the oscillator's
  unsigned drawing[kVoiceCount];             // frames until the voice falls silent

  // The noise draws first, frame by frame in voice order, as the voices take them from the
  // shared stream. A voice that ends draws on its last frame and not after.
  for (int i = 0; i < count; ++i)
    drawing[i] = voices[sounding[i]].framesDrawing(frames);
  NoiseGenerator stream = noise;
  for (unsigned f = 0; f < frames; ++f) {
    for (int i = 0; i < count; ++i) {
      if (f < drawing[i]) draws[i][f] = stream.noiseNextFloat();
    }
  }
  noise = stream;

  // Then each voice's envelope and phase, and its oscillator over all its sounding frames
  // at once.
  const OscillatorPath& path = oscillatorPath ? *oscillatorPath : bestOscillatorPath();
  for (int i = 0; i < count; ++i) {
    Voice& voice = voices[sounding[i]];
    voice.advance(drawing[i], draws[i], phases[i], levels[i]);
    std::fill(levels[i] + drawing[i], levels[i] + frames, voice.level);
    if (voice.patch & 1u) {
      runOscillator(path, phases[i], sums[i], drawing[i], oscillatorCounts);
    } else {
      std::fill(sums[i], sums[i] + drawing[i], 0.0f);
    }
  }

  // Then the filters, frame by frame across the voices so that their chains overlap.
  for (unsigned f = 0; f < frames; ++f) {
    for (int i = 0; i < count; ++i) {
      const float x = f < drawing[i] ? Voice::scaled(sums[i][f], levels[i][f]) : 0.0f;
      out[sounding[i]][f] = voices[sounding[i]].filter(x, levels[i][f]);
    }
  }
}

}  // namespace consynth
