#include "reverb/reverb.h"

namespace consynth {

float Reverb::process(float x, int type, int channel, int lpfnum) {
  const uint32_t taps = static_cast<uint32_t>(lpfnum + 1);
  const uint32_t* combLengths = kCombLengths[(type % 4) + 4 * (channel % 2)];
  float acc = 0.0f;

  for (int k = 0; k < kCombCount; ++k) {
    DelayLine& line = lines[k];
    const uint32_t n = combLengths[k];
    line.length = n;
    const uint32_t w = line.writeIndex;

    // The feedback is the mean of the oldest taps: delays n, n-1, ..., n-taps+1.
    float sum = 0.0f;
    for (uint32_t j = 0; j < taps; ++j)
      sum = sum + line.samples[(w + j) % n];
    const float v = sum / static_cast<float>(taps) + x;

    // After a switch to a shorter set the index may lie beyond n for one call; the write
    // still lands inside the line and the index wraps below.
    line.samples[w] = kCombGains[k] * v;
    acc = acc + v;
    line.writeIndex = (w + 1) % n;
  }

  for (int m = 0; m < 2; ++m) {
    DelayLine& line = lines[kCombCount + m];
    const uint32_t n = kDiffuserLengths[m];
    line.length = n;
    const uint32_t i = line.writeIndex;
    const float b0 = line.samples[i % n];
    const float b1 = line.samples[(i + 1) % n];
    const float b2 = line.samples[(i + 2) % n];
    const float b3 = line.samples[(i + 3) % n];

    // acc plus kDiffuserGain times the mean of the four oldest taps, in this summation order.
    const float t0 = kDiffuserGain * b0 + acc;
    const float t1 = kDiffuserGain * b1 + acc;
    const float t2 = kDiffuserGain * b2 + acc;
    const float w = ((acc + kDiffuserGain * b3) + ((t1 + t0) + t2)) * kDiffuserMean;

    line.samples[i] = w;
    line.writeIndex = (i + 1) % n;
    acc = w * -kDiffuserGain;
  }

  const float dry = static_cast<float>(static_cast<double>(x) * kDryGain);
  return (acc + dry) * kReverbOutputGain;
}

}  // namespace consynth
