// The oscillator with AVX2 and FMA: four voice-samples a vector. Compiled with -mavx2 -mfma.

#include <cstdint>  // defines __GLIBC__ where the GNU C library is used

#if defined(__x86_64__) && defined(__GLIBC__)

#include "synth/oscillator_kernel.h"

namespace consynth {

namespace {

struct Avx2 {
  using Vec = __m256d;
  using Floats = __m128;
  using Mask = __m256d;  // all ones in a lane that holds
  static constexpr unsigned kWidth = 4;

  static Vec set(double v) { return _mm256_set1_pd(v); }
  static Vec load(const double* p) { return _mm256_loadu_pd(p); }
  static void store(float* p, Floats v) { _mm_storeu_ps(p, v); }
  static Vec fma(Vec a, Vec b, Vec c) { return _mm256_fmadd_pd(a, b, c); }    // a * b + c
  static Vec fnma(Vec a, Vec b, Vec c) { return _mm256_fnmadd_pd(a, b, c); }  // c - a * b
  static Vec abs(Vec v) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), v); }
  static Vec negateWhereOdd(Vec v, Vec shifted) {
    const __m256i sign = _mm256_slli_epi64(_mm256_castpd_si256(shifted), 63);
    return _mm256_xor_pd(v, _mm256_castsi256_pd(sign));
  }
  static Floats toFloats(Vec v) { return _mm256_cvtpd_ps(v); }
  static Vec toDoubles(Floats v) { return _mm256_cvtps_pd(v); }
  static Mask less(Vec a, Vec b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
  static Mask equal(Vec a, Vec b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
  static Mask notEqual(Vec a, Vec b) { return _mm256_cmp_pd(a, b, _CMP_NEQ_OQ); }
  static Mask both(Mask a, Mask b) { return _mm256_and_pd(a, b); }
  static Mask all() { return _mm256_castsi256_pd(_mm256_set1_epi64x(-1)); }
  static uint64_t bits(Mask m) { return static_cast<uint64_t>(_mm256_movemask_pd(m)); }
};

}  // namespace

uint64_t proveOscillatorSumsAvx2(const double* phases, float* sums, unsigned count) {
  return proveSums<Avx2>(phases, sums, count);
}

}  // namespace consynth

#endif
