// Two further views of the render cost:
//   reverb/<variant>   one channel's Reverb::processBlock in every compiled variant against
//                      the per-sample Reverb::process, as realtime factors, on lines full of
//                      ordinary values and on lines full of subnormals;
//   oscillator/<variant>  the oscillator sums of four chord voices, 64 frames a call, in
//                      every compiled variant (portable: the library's sine for each), in
//                      voice-samples a second, with the fallbacks per million;
//   session            a played session rendered buffer by buffer, as the render thread
//                      does: the median and the worst time of one 512-frame buffer, which
//                      has 11.6 ms to be ready.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cfloat>
#include <chrono>
#include <random>
#include <vector>

#include "instrument/frame_mixer.h"
#include "reverb/reverb_block_paths.h"
#include "synth/oscillator_paths.h"
#include "synth/sample_rate.h"

namespace {

using consynth::FrameKeys;
using consynth::FrameMixer;
using consynth::OscillatorPath;
using consynth::Reverb;
using consynth::ReverbBlockPath;

constexpr unsigned kBufferFrames = 512;

Reverb gReverb;
const FrameMixer gFreshMixer{};  // copied from: too large for a temporary on the stack
FrameMixer gSession;

void fillLines(Reverb& reverb, bool subnormal) {
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> value(-0.5f, 0.5f);
  std::uniform_int_distribution<int> steps(-4000, 4000);
  for (auto& line : reverb.lines) {
    for (float& s : line.samples) {
      s = subnormal ? static_cast<float>(steps(rng)) * FLT_TRUE_MIN : value(rng) * 1e-3f;
    }
    line.writeIndex = 0;
  }
}

// path == nullptr: the per-sample process.
void BM_Reverb(benchmark::State& state, const ReverbBlockPath* path, bool subnormal) {
  if (path && !path->supported()) {
    state.SkipWithError("not supported on this processor");
    return;
  }
  fillLines(gReverb, subnormal);
  const float input = subnormal ? 1000 * FLT_TRUE_MIN : 1e-4f;
  float x[Reverb::kMaxBlockFrames];
  float y[Reverb::kMaxBlockFrames];
  std::fill(x, x + Reverb::kMaxBlockFrames, input);
  double frames = 0;
  for (auto _ : state) {
    if (path) {
      path->run(gReverb, x, y, Reverb::kMaxBlockFrames, 3, 0, 31);
    } else {
      for (unsigned f = 0; f < Reverb::kMaxBlockFrames; ++f)
        y[f] = gReverb.process(x[f], 3, 0, 31);
    }
    benchmark::DoNotOptimize(y);
    frames += Reverb::kMaxBlockFrames;
  }
  state.counters["realtime"] =
      benchmark::Counter(frames / consynth::kSampleRate, benchmark::Counter::kIsRate);
}

// The phases a block of the sounding chord gives the oscillator: four voices, 64 frames each,
// moving on by a block per call.
void BM_Oscillator(benchmark::State& state, const OscillatorPath* path) {
  if (!path->supported()) {
    state.SkipWithError("not supported on this processor");
    return;
  }
  constexpr unsigned kFrames = consynth::kOscillatorMaxLanes;
  constexpr int kChordNotes[4] = {36, 52, 55, 59};
  double increments[4];
  double phases[4][kFrames];
  float sums[kFrames];
  for (int v = 0; v < 4; ++v) {
    consynth::Voice voice{};
    voice.noteOn(kChordNotes[v], consynth::kKeyPatch);
    increments[v] = voice.increment;
    for (unsigned f = 0; f < kFrames; ++f)
      phases[v][f] = 1000.0 * v + increments[v] * f;
  }
  consynth::OscillatorCounts counts;
  for (auto _ : state) {
    for (int v = 0; v < 4; ++v) {
      consynth::runOscillator(*path, phases[v], sums, kFrames, counts);
      benchmark::DoNotOptimize(sums);
      for (double& phase : phases[v])
        phase += increments[v] * kFrames;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(counts.sums));
  state.counters["fallbacks_ppm"] =
      1e6 * static_cast<double>(counts.fallbacks) / static_cast<double>(counts.sums);
}

// A player holding the chord down in bursts, stepping both reverb controls now and then
// and bypassing the reverb for a while: one minute of audio, timed buffer by buffer.
void BM_Session(benchmark::State& state) {
  constexpr int kChordNotes[4] = {36, 52, 55, 59};
  constexpr unsigned kBuffers = 60 * consynth::kSampleRate / kBufferFrames;
  std::vector<double> micros(kBuffers);
  float buffer[2 * kBufferFrames];
  for (auto _ : state) {
    gSession = gFreshMixer;
    for (unsigned b = 0; b < kBuffers; ++b) {
      const auto start = std::chrono::steady_clock::now();
      FrameKeys keys;
      keys.upPressed = b % 150 == 75;
      keys.downPressed = b % 400 == 200;
      keys.bypass = b % 1000 > 900;
      if (b % 43 == 0 && b % 2000 < 1200) {  // a chord every half second, then a long rest
        for (int v = 0; v < 4; ++v)
          gSession.voices[v].noteOn(kChordNotes[v], consynth::kKeyPatch);
      }
      gSession.renderFrames(keys, buffer, kBufferFrames);
      benchmark::DoNotOptimize(buffer);
      micros[b] =
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
              .count();
    }
  }
  std::sort(micros.begin(), micros.end());
  state.counters["median_us"] = micros[kBuffers / 2];
  state.counters["worst_us"] = micros.back();
  state.counters["budget_us"] = 1e6 * kBufferFrames / consynth::kSampleRate;
}

void registerAll() {
  for (bool subnormal : {false, true}) {
    const std::string lines = subnormal ? "subnormal" : "normal";
    benchmark::RegisterBenchmark(("reverb/" + lines + "/per_sample").c_str(), BM_Reverb, nullptr,
                                 subnormal);
    for (const ReverbBlockPath& path : consynth::reverbBlockPaths()) {
      benchmark::RegisterBenchmark(("reverb/" + lines + "/block_" + path.name).c_str(), BM_Reverb,
                                   &path, subnormal);
    }
  }
  for (const OscillatorPath& path : consynth::oscillatorPaths()) {
    benchmark::RegisterBenchmark((std::string("oscillator/") + path.name).c_str(), BM_Oscillator,
                                 &path);
  }
  benchmark::RegisterBenchmark("session/buffer_times", BM_Session)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
}

const bool gRegistered = (registerAll(), true);

}  // namespace
