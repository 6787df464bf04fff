// The oscillator with AVX-512: eight voice-samples a vector. Compiled with -mavx512f -mfma.

#include <cstdint>  // defines __GLIBC__ where the GNU C library is used

#if defined(__x86_64__) && defined(__GLIBC__)

#include "synth/oscillator_kernel.h"

namespace consynth {

namespace {

struct Avx512 {
  using Vec = __m512d;
  using Floats = __m256;
  using Mask = __mmask8;
  static constexpr unsigned kWidth = 8;

  static Vec set(double v) { return _mm512_set1_pd(v); }
  static Vec load(const double* p) { return _mm512_loadu_pd(p); }
  static void store(float* p, Floats v) { _mm256_storeu_ps(p, v); }
  static Vec fma(Vec a, Vec b, Vec c) { return _mm512_fmadd_pd(a, b, c); }    // a * b + c
  static Vec fnma(Vec a, Vec b, Vec c) { return _mm512_fnmadd_pd(a, b, c); }  // c - a * b
  static Vec abs(Vec v) { return _mm512_abs_pd(v); }
  static Vec negateWhereOdd(Vec v, Vec shifted) {
    const __m512i sign = _mm512_slli_epi64(_mm512_castpd_si512(shifted), 63);
    return _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(v), sign));
  }
  static Floats toFloats(Vec v) { return _mm512_cvtpd_ps(v); }
  static Vec toDoubles(Floats v) { return _mm512_cvtps_pd(v); }
  static Mask less(Vec a, Vec b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
  static Mask equal(Vec a, Vec b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
  static Mask notEqual(Vec a, Vec b) { return _mm512_cmp_pd_mask(a, b, _CMP_NEQ_OQ); }
  static Mask both(Mask a, Mask b) { return static_cast<Mask>(a & b); }
  static Mask all() { return 0xFF; }
  static uint64_t bits(Mask m) { return m; }
};

}  // namespace

uint64_t proveOscillatorSumsAvx512(const double* phases, float* sums, unsigned count) {
  return proveSums<Avx512>(phases, sums, count);
}

}  // namespace consynth

#endif
