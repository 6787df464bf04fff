#include "synth/oscillator_paths.h"

#include <bit>
#include <cstdlib>

#include "synth/oscillator.h"

// The vector variants prove their sums against the GNU C library's double sine on x86-64;
// elsewhere (another C library, another processor) only the portable variant is built.
#if defined(__x86_64__) && defined(__GLIBC__)
#define CONSYNTH_OSCILLATOR_X86_VARIANTS 1
#include <gnu/libc-version.h>
#endif

namespace consynth {

#ifdef CONSYNTH_OSCILLATOR_X86_VARIANTS
// Defined in oscillator_avx2.cpp and oscillator_avx512.cpp, each built for its own
// instruction set.
uint64_t proveOscillatorSumsAvx2(const double* phases, float* sums, unsigned count);
uint64_t proveOscillatorSumsAvx512(const double* phases, float* sums, unsigned count);
#endif

namespace {

bool everyProcessor() {
  return true;
}

uint64_t librarySums(const double* phases, float* sums, unsigned count) {
  for (unsigned i = 0; i < count; ++i)
    sums[i] = oscillatorSum(phases[i]);
  return 0;
}

#ifdef CONSYNTH_OSCILLATOR_X86_VARIANTS
// The proofs allow the library's sine to be up to 2 units in the last place off the true
// sine; the GNU C library's double sine is well within that from version 2.28 on.
bool libraryHasBoundedSine() {
  return libraryVersionAtLeast(gnu_get_libc_version(), 2, 28);
}

bool hasAvx2() {
  return libraryHasBoundedSine() && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

bool hasAvx512() {
  return libraryHasBoundedSine() && __builtin_cpu_supports("avx512f") &&
         __builtin_cpu_supports("fma");
}
#endif

constexpr OscillatorPath kPaths[] = {
    {"portable", everyProcessor, librarySums},
#ifdef CONSYNTH_OSCILLATOR_X86_VARIANTS
    {"avx2", hasAvx2, proveOscillatorSumsAvx2},
    {"avx512", hasAvx512, proveOscillatorSumsAvx512},
#endif
};

}  // namespace

std::span<const OscillatorPath> oscillatorPaths() {
  return kPaths;
}

void runOscillator(const OscillatorPath& path, const double* phases, float* sums, unsigned count,
                   OscillatorCounts& counts) {
  uint64_t unproven = path.run(phases, sums, count);
  counts.sums += count;
  counts.fallbacks += static_cast<uint64_t>(std::popcount(unproven));
  for (; unproven != 0; unproven &= unproven - 1) {
    const int lane = std::countr_zero(unproven);
    sums[lane] = oscillatorSum(phases[lane]);
  }
}

bool libraryVersionAtLeast(const char* version, int major, int minor) {
  char* end = nullptr;
  const long foundMajor = std::strtol(version, &end, 10);
  if (end == version) return false;
  if (foundMajor != major) return foundMajor > major;
  if (*end != '.') return false;
  const char* minorText = end + 1;
  const long foundMinor = std::strtol(minorText, &end, 10);
  return end != minorText && foundMinor >= minor;
}

}  // namespace consynth
