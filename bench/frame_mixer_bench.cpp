// Realtime factor (audio seconds rendered per second of CPU time) of the frame mixer in
// three states, each for the block path (renderFrames, what the render thread uses) in every
// vector unit this processor has, and the plain per-frame path (renderFrame, the algorithm
// step by step), side by side:
//   sounding        voices 0-3 re-triggered every 1,411 frames
//   idle/subnormal  long after a chord: voice tails and reverb lines hold only subnormals
//   idle/normal     one second after a chord: tails and reverb lines still decaying
// All at the darkest damping (lpfnum 31) and the longest delay set (type 3). The block path
// also reports how many of a million oscillator sums fell back to the library's sine.

#include <benchmark/benchmark.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "instrument/frame_mixer.h"
#include "synth/sample_rate.h"

namespace {

using consynth::FrameKeys;
using consynth::FrameMixer;

constexpr unsigned kBufferFrames = 512;
constexpr unsigned kRetriggerFrames = 1411;
constexpr int kChordNotes[4] = {36, 52, 55, 59};
// Idle states are restored from their snapshot this often, so that a long run keeps
// measuring the state it is named after.
constexpr unsigned kRestoreFrames = 22050;

enum class Path { Block, PerFrame };

// The block path with the oscillator and reverb variants of one vector unit ("portable",
// "avx2", "avx512"), or the per-frame path.
struct Setup {
  Path path;
  const char* unit;  // block path only
};

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
  const auto frames = static_cast<unsigned long>(seconds * consynth::kSampleRate);
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

// Pins the mixer to one vector unit's variants, as on a processor that has no wider one.
void pin(FrameMixer& mixer, const char* unit) {
  for (const auto& path : consynth::oscillatorPaths()) {
    if (std::strcmp(path.name, unit) == 0) mixer.oscillatorPath = &path;
  }
  for (const auto& path : consynth::reverbBlockPaths()) {
    if (std::strcmp(path.name, unit) == 0) mixer.reverbPath = &path;
  }
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

void report(benchmark::State& state, double frames, const FrameMixer& mixer) {
  state.counters["realtime"] =
      benchmark::Counter(frames / consynth::kSampleRate, benchmark::Counter::kIsRate);
  const consynth::OscillatorCounts& counts = mixer.oscillatorCounts;
  if (counts.sums > 0) {
    state.counters["fallbacks_ppm"] =
        1e6 * static_cast<double>(counts.fallbacks) / static_cast<double>(counts.sums);
  }
}

void BM_Sounding(benchmark::State& state, Setup setup) {
  FrameMixer& mixer = startState(gWork);
  if (setup.path == Path::Block) pin(mixer, setup.unit);
  const Path path = setup.path;
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
  report(state, frames, mixer);
}

void BM_Idle(benchmark::State& state, const FrameMixer* snapshot, Setup setup) {
  prepareIdleStates();
  if (snapshot == &gIdleSubnormal && !onlySubnormals(gIdleSubnormal)) {
    state.SkipWithError("the idle state still holds normal values");
    return;
  }
  const Path path = setup.path;
  const auto restore = [&] {
    gWork = *snapshot;
    gWork.oscillatorCounts = {};
    if (path == Path::Block) pin(gWork, setup.unit);
  };
  restore();
  float buffer[2 * kBufferFrames];
  unsigned sinceRestore = 0;
  double frames = 0;
  for (auto _ : state) {
    if (sinceRestore >= kRestoreFrames) {
      state.PauseTiming();
      restore();
      sinceRestore = 0;
      state.ResumeTiming();
    }
    render(gWork, path, buffer, kBufferFrames);
    benchmark::DoNotOptimize(buffer);
    sinceRestore += kBufferFrames;
    frames += kBufferFrames;
  }
  report(state, frames, gWork);
}

// Every state in every vector unit this processor has, then per frame.
void registerAll() {
  std::vector<Setup> setups;
  for (const auto& path : consynth::oscillatorPaths()) {
    if (path.supported()) setups.push_back({Path::Block, path.name});
  }
  setups.push_back({Path::PerFrame, nullptr});
  const auto name = [](const char* state, const Setup& setup) {
    return std::string(state) +
           (setup.path == Path::Block ? std::string("/block_") + setup.unit : "/per_frame");
  };
  for (const Setup& setup : setups)
    benchmark::RegisterBenchmark(name("a_sounding", setup).c_str(), BM_Sounding, setup);
  for (const Setup& setup : setups) {
    benchmark::RegisterBenchmark(name("b_idle_subnormal", setup).c_str(), BM_Idle, &gIdleSubnormal,
                                 setup);
  }
  for (const Setup& setup : setups) {
    benchmark::RegisterBenchmark(name("c_idle_normal", setup).c_str(), BM_Idle, &gIdleNormal,
                                 setup);
  }
}

const bool gRegistered = (registerAll(), true);

}  // namespace

BENCHMARK_MAIN();
