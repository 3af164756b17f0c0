// Built with AVX-512 F; reached only on processors that have it.
#include <immintrin.h>

#include "fast_kernel_body.h"
#include "fast_kernels.h"

namespace bmx {

namespace {

struct F64x8 {
  using T = double;
  using V = __m512d;
  static constexpr std::size_t kWidth = 8;
  static V load(const T* p) { return _mm512_loadu_pd(p); }
  static void store(T* p, V v) { _mm512_storeu_pd(p, v); }
};

struct F32x16 {
  using T = float;
  using V = __m512;
  static constexpr std::size_t kWidth = 16;
  static V load(const T* p) { return _mm512_loadu_ps(p); }
  static void store(T* p, V v) { _mm512_storeu_ps(p, v); }
};

}  // namespace

void fast_f64_avx512(SleefAny vector, SleefAny scalar, void* out, const void* a, const void* b, std::size_t n) {
  apply_sleef<F64x8>(vector, scalar, out, a, b, n);
}

void fast_f32_avx512(SleefAny vector, SleefAny scalar, void* out, const void* a, const void* b, std::size_t n) {
  apply_sleef<F32x16>(vector, scalar, out, a, b, n);
}

}  // namespace bmx
