// Realtime factor (audio seconds rendered per second of CPU time) of the frame mixer in
// three states, each for the block path (renderFrames, what the render thread uses) and the
// plain per-frame path (renderFrame, the algorithm step by step) side by side:
//   sounding        voices 0-3 re-triggered every 1,411 frames
//   idle/subnormal  long after a chord: voice tails and reverb lines hold only subnormals
//   idle/normal     one second after a chord: tails and reverb lines still decaying
// All at the darkest damping (lpfnum 31) and the longest delay set (type 3).

#include <benchmark/benchmark.h>

#include <cfloat>
#include <cmath>

#include "audio/frame_mixer.h"

namespace {

using consynth::FrameKeys;
using consynth::FrameMixer;

constexpr unsigned kBufferFrames = 512;
constexpr double kSampleRate = 44100.0;
constexpr unsigned kRetriggerFrames = 1411;
constexpr int kChordNotes[4] = {36, 52, 55, 59};
// Idle states are restored from their snapshot this often, so that a long run keeps
// measuring the state it is named after.
constexpr unsigned kRestoreFrames = 22050;

enum class Path { Block, PerFrame };

// The engine state is megabytes: keep every copy out of the stack.
const FrameMixer gFreshMixer{};
FrameMixer gWork;
FrameMixer gIdleSubnormal;
FrameMixer gIdleNormal;

void render(FrameMixer& mixer, Path path, float* interleaved, unsigned frames) {
  const FrameKeys keys;
  if (path == Path::Block) {
    mixer.renderFrames(keys, interleaved, frames);
  } else {
    for (unsigned f = 0; f < frames; ++f)
      mixer.renderFrame(keys, interleaved + 2 * f);
  }
}

void playChord(FrameMixer& mixer) {
  for (int v = 0; v < 4; ++v)
    mixer.voices[v].noteOn(kChordNotes[v], consynth::kKeyPatch);
}

void renderSeconds(FrameMixer& mixer, double seconds) {
  float buffer[2 * kBufferFrames];
  const auto frames = static_cast<unsigned long>(seconds * kSampleRate);
  for (unsigned long done = 0; done < frames; done += kBufferFrames) {
    render(mixer, Path::Block, buffer, kBufferFrames);
  }
}

FrameMixer& startState(FrameMixer& mixer) {
  mixer = gFreshMixer;
  mixer.lpfnum = 31;
  mixer.type = 3;
  return mixer;
}

// True when no voice tail and no sample of a reverb line in use is a normal number.
bool onlySubnormals(const FrameMixer& mixer) {
  for (const auto& voice : mixer.voices) {
    if (std::fabs(voice.filterMemory) >= FLT_MIN) return false;
  }
  for (const auto& reverb : mixer.reverbs) {
    for (const auto& line : reverb.lines) {
      for (float s : line.samples) {
        if (std::fabs(s) >= FLT_MIN) return false;
      }
    }
  }
  return true;
}

void prepareIdleStates() {
  static bool prepared = false;
  if (prepared) return;
  prepared = true;
  playChord(startState(gIdleNormal));
  renderSeconds(gIdleNormal, 1.0);
  gIdleSubnormal = gIdleNormal;
  renderSeconds(gIdleSubnormal, 119.0);
}

void reportRate(benchmark::State& state, double frames) {
  state.counters["realtime"] =
      benchmark::Counter(frames / kSampleRate, benchmark::Counter::kIsRate);
}

void BM_Sounding(benchmark::State& state, Path path) {
  FrameMixer& mixer = startState(gWork);
  float buffer[2 * kBufferFrames];
  unsigned untilTrigger = 0;
  double frames = 0;
  for (auto _ : state) {
    // One buffer, split at the re-triggers.
    for (unsigned done = 0; done < kBufferFrames;) {
      if (untilTrigger == 0) {
        playChord(mixer);
        untilTrigger = kRetriggerFrames;
      }
      const unsigned run = std::min(kBufferFrames - done, untilTrigger);
      render(mixer, path, buffer + 2 * done, run);
      done += run;
      untilTrigger -= run;
    }
    benchmark::DoNotOptimize(buffer);
    frames += kBufferFrames;
  }
  reportRate(state, frames);
}

void BM_Idle(benchmark::State& state, const FrameMixer* snapshot, Path path) {
  prepareIdleStates();
  if (snapshot == &gIdleSubnormal && !onlySubnormals(gIdleSubnormal)) {
    state.SkipWithError("the idle state still holds normal values");
    return;
  }
  gWork = *snapshot;
  float buffer[2 * kBufferFrames];
  unsigned sinceRestore = 0;
  double frames = 0;
  for (auto _ : state) {
    if (sinceRestore >= kRestoreFrames) {
      state.PauseTiming();
      gWork = *snapshot;
      sinceRestore = 0;
      state.ResumeTiming();
    }
    render(gWork, path, buffer, kBufferFrames);
    benchmark::DoNotOptimize(buffer);
    sinceRestore += kBufferFrames;
    frames += kBufferFrames;
  }
  reportRate(state, frames);
}

// clang-format off
BENCHMARK_CAPTURE(BM_Sounding, a_sounding/block, Path::Block);
BENCHMARK_CAPTURE(BM_Sounding, a_sounding/per_frame, Path::PerFrame);
BENCHMARK_CAPTURE(BM_Idle, b_idle_subnormal/block, &gIdleSubnormal, Path::Block);
BENCHMARK_CAPTURE(BM_Idle, b_idle_subnormal/per_frame, &gIdleSubnormal, Path::PerFrame);
BENCHMARK_CAPTURE(BM_Idle, c_idle_normal/block, &gIdleNormal, Path::Block);
BENCHMARK_CAPTURE(BM_Idle, c_idle_normal/per_frame, &gIdleNormal, Path::PerFrame);
// clang-format on

}  // namespace

BENCHMARK_MAIN();
