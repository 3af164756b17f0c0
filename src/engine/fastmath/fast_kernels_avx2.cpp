// Built with AVX2 and FMA; reached only on processors that have them.
#include <immintrin.h>

#include "fast_kernel_body.h"
#include "fast_kernels.h"

namespace bmx {

namespace {

struct F64x4 {
  using T = double;
  using V = __m256d;
  static constexpr std::size_t kWidth = 4;
  static V load(const T* p) { return _mm256_loadu_pd(p); }
  static void store(T* p, V v) { _mm256_storeu_pd(p, v); }
};

struct F32x8 {
  using T = float;
  using V = __m256;
  static constexpr std::size_t kWidth = 8;
  static V load(const T* p) { return _mm256_loadu_ps(p); }
  static void store(T* p, V v) { _mm256_storeu_ps(p, v); }
};

}  // namespace

void fast_f64_avx2(SleefAny vector, SleefAny scalar, void* out, const void* a, const void* b, std::size_t n) {
  apply_sleef<F64x4>(vector, scalar, out, a, b, n);
}

void fast_f32_avx2(SleefAny vector, SleefAny scalar, void* out, const void* a, const void* b, std::size_t n) {
  apply_sleef<F32x8>(vector, scalar, out, a, b, n);
}

}  // namespace bmx
