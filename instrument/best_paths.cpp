#include "instrument/best_paths.h"

#include <span>

namespace consynth {

namespace {

// Each table lists the portable variant first, the widest last.
template <class Path>
const Path& widestSupported(std::span<const Path> paths) {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();  // may run before the library's own initialisation
#endif
  const Path* best = &paths.front();
  for (const Path& path : paths) {
    if (path.supported()) best = &path;
  }
  return *best;
}

const OscillatorPath& gBestOscillator = widestSupported(oscillatorPaths());
const ReverbBlockPath& gBestReverb = widestSupported(reverbBlockPaths());

}  // namespace

const OscillatorPath& bestOscillatorPath() {
  return gBestOscillator;
}

const ReverbBlockPath& bestReverbBlockPath() {
  return gBestReverb;
}

}  // namespace consynth
