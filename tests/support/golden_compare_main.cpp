// consynth-golden-compare: compares a render with its reference WAV, sample by sample.
//
// Exit 0 when the data chunks match bit for bit; where the C runtime's double sine is not
// the one the references were made with (Windows), also when every difference stays within
// what a last-bit difference in it can cause. Exit 1 otherwise. Any difference at all is
// reported, with its count and size, so none goes unnoticed.

#include <cstdio>
#include <string>

#include "tests/support/wav_compare.h"

#ifdef CONSYNTH_RUNTIME_SINE_MAY_DIFFER
constexpr bool kSineAsInReference = false;
#else
constexpr bool kSineAsInReference = true;
#endif

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: consynth-golden-compare EXPECTED.wav ACTUAL.wav\n", stderr);
    return 2;
  }
  std::string error;
  const auto expected = consynth::readWavSampleBits(argv[1], error);
  const auto actual = expected ? consynth::readWavSampleBits(argv[2], error) : std::nullopt;
  if (!actual) {
    std::fprintf(stderr, "consynth-golden-compare: %s\n", error.c_str());
    return 2;
  }

  const consynth::SampleComparison c = consynth::compareSamples(*expected, *actual);
  if (!c.sameLength) {
    std::printf("length differs: %zu reference samples, %zu rendered\n", expected->size(),
                actual->size());
  }
  if (c.bitExact()) {
    std::printf("bit-exact: all %llu samples identical\n",
                static_cast<unsigned long long>(c.samples));
    return 0;
  }
  if (c.differing > 0) {
    std::printf(
        "%llu of %llu samples differ (first at sample %llu, frame %llu), "
        "largest difference %.9g\n",
        static_cast<unsigned long long>(c.differing), static_cast<unsigned long long>(c.samples),
        static_cast<unsigned long long>(c.firstDiffering),
        static_cast<unsigned long long>(c.firstDiffering / 2), c.largestDifference);
  }
  if (!kSineAsInReference && consynth::acceptable(c)) {
    std::printf("accepted: within %g, the reach of a last-bit difference in the C runtime's sin\n",
                consynth::kRuntimeSineTolerance);
    return 0;
  }
  std::printf(kSineAsInReference
                  ? "REJECTED: the render must match bit for bit\n"
                  : "REJECTED: more than a last-bit difference in sin can explain\n");
  return 1;
}
