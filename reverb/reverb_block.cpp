// The reverb's block variants: the per-sample algorithm of Reverb::process, reorganised so that a
// block of frames is computed side by side. Within a block no frame reads a sample written
// by an earlier frame of the same block, so every frame's taps can be read up front; each
// vector lane is one frame, summing its own taps in the same order as the per-sample code.

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstring>

#include "reverb/reverb.h"
#include "reverb/reverb_block_paths.h"

namespace consynth {

namespace {

// Frames computed side by side in the comb sums; a multiple of every vector width in use.
constexpr unsigned kLanes = 16;
constexpr unsigned kPaddedFrames = Reverb::kMaxBlockFrames + kLanes;
// A comb window holds a block's taps, read in whole groups of kLanes frames.
constexpr unsigned kWindowCapacity = kPaddedFrames + Reverb::kLpfCount;

// Frame f of a comb line: v = mean of window[f .. f + taps - 1] + x[f]. Frames go in
// groups of kLanes, one per vector lane, in vectors of kWidth lanes (the target's register
// width); each lane sums its own taps in order.
template <unsigned kWidth>
[[gnu::always_inline]] inline void combOutputs(const float* window, const float* x, uint32_t taps,
                                               unsigned frames, float* v) {
  static_assert(kLanes % kWidth == 0);
  typedef float Vector __attribute__((vector_size(kWidth * sizeof(float))));
  constexpr unsigned kVectors = kLanes / kWidth;
  for (size_t first = 0; first < frames; first += kLanes) {
    Vector sum[kVectors] = {};
    for (size_t j = 0; j < taps; ++j) {
      for (unsigned i = 0; i < kVectors; ++i) {
        Vector tap;  // tap j of the frames first + i * kWidth ...
        std::memcpy(&tap, window + first + i * kWidth + j, sizeof tap);
        sum[i] = sum[i] + tap;
      }
    }
    for (unsigned i = 0; i < kVectors; ++i) {
      Vector dry;
      std::memcpy(&dry, x + first + i * kWidth, sizeof dry);
      const Vector out = sum[i] / static_cast<float>(taps) + dry;
      std::memcpy(v + first + i * kWidth, &out, sizeof out);
    }
  }
}

template <unsigned kWidth>
[[gnu::always_inline]] inline void processBlockBody(Reverb& reverb, const float* x, float* y,
                                                    unsigned frames, int type, int channel,
                                                    int lpfnum) {
  assert(frames <= Reverb::kMaxBlockFrames);
  const uint32_t taps = static_cast<uint32_t>(lpfnum + 1);
  const uint32_t* combLengths = kCombLengths[(type % 4) + 4 * (channel % 2)];

  // After a switch to a shorter delay set a comb's write index can lie beyond its new
  // length for one call; the per-sample step takes that frame.
  for (int k = 0; k < Reverb::kCombCount; ++k) {
    if (frames > 0 && reverb.lines[k].writeIndex >= combLengths[k]) {
      *y++ = reverb.process(*x++, type, channel, lpfnum);
      --frames;
      break;
    }
  }
  if (frames == 0) return;

  float input[kPaddedFrames] = {};
  std::copy(x, x + frames, input);
  float scratch[kWindowCapacity] = {};
  float v[kPaddedFrames];
  float stored[kPaddedFrames];
  float acc[kPaddedFrames];
  for (size_t f = 0; f < frames; ++f)
    acc[f] = 0.0f;

  for (int k = 0; k < Reverb::kCombCount; ++k) {
    DelayLine& line = reverb.lines[k];
    const uint32_t n = combLengths[k];
    line.length = n;
    const uint32_t w = line.writeIndex;
    combOutputs<kWidth>(line.window(w, frames + taps - 1, scratch), input, taps, frames, v);
    for (size_t f = 0; f < frames; ++f) {
      stored[f] = kCombGains[k] * v[f];
      acc[f] = acc[f] + v[f];
    }
    line.write(w, stored, frames);
    line.writeIndex = (w + frames) % n;
  }

  for (int m = 0; m < 2; ++m) {
    DelayLine& line = reverb.lines[Reverb::kCombCount + m];
    const uint32_t n = kDiffuserLengths[m];
    line.length = n;
    const uint32_t i = line.writeIndex;
    const float* b = line.window(i, frames + 3, scratch);
    for (size_t f = 0; f < frames; ++f) {
      // acc plus kDiffuserGain times the mean of the four oldest taps, in this summation order.
      const float t0 = kDiffuserGain * b[f] + acc[f];
      const float t1 = kDiffuserGain * b[f + 1] + acc[f];
      const float t2 = kDiffuserGain * b[f + 2] + acc[f];
      const float w = ((acc[f] + kDiffuserGain * b[f + 3]) + ((t1 + t0) + t2)) * kDiffuserMean;
      stored[f] = w;
      acc[f] = w * -kDiffuserGain;
    }
    line.write(i, stored, frames);
    line.writeIndex = (i + frames) % n;
  }

  for (size_t f = 0; f < frames; ++f) {
    const float dry = static_cast<float>(static_cast<double>(input[f]) * kDryGain);
    y[f] = (acc[f] + dry) * kReverbOutputGain;
  }
}

bool everyProcessor() {
  return true;
}

// Four lanes a vector: SSE2, which every x86-64 has, or the other targets' vector units.
void processBlockPortable(Reverb& reverb, const float* x, float* y, unsigned frames, int type,
                          int channel, int lpfnum) {
  processBlockBody<4>(reverb, x, y, frames, type, channel, lpfnum);
}

#if defined(__x86_64__) || defined(__i386__)
#define CONSYNTH_X86_PATHS 1

bool hasAvx2() {
  return __builtin_cpu_supports("avx2");
}
bool hasAvx512() {
  return __builtin_cpu_supports("avx512f");
}

[[gnu::target("avx2")]] void processBlockAvx2(Reverb& reverb, const float* x, float* y,
                                              unsigned frames, int type, int channel, int lpfnum) {
  processBlockBody<8>(reverb, x, y, frames, type, channel, lpfnum);
}

[[gnu::target("avx512f")]] void processBlockAvx512(Reverb& reverb, const float* x, float* y,
                                                   unsigned frames, int type, int channel,
                                                   int lpfnum) {
  processBlockBody<16>(reverb, x, y, frames, type, channel, lpfnum);
}
#endif

constexpr ReverbBlockPath kPaths[] = {
    {"portable", everyProcessor, processBlockPortable},
#ifdef CONSYNTH_X86_PATHS
    {"avx2", hasAvx2, processBlockAvx2},
    {"avx512", hasAvx512, processBlockAvx512},
#endif
};

}  // namespace

std::span<const ReverbBlockPath> reverbBlockPaths() {
  return kPaths;
}

}  // namespace consynth
