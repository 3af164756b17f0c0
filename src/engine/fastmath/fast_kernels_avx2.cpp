// Built with AVX2 and FMA; reached only on processors that have them.
#include "fast_kernel_body.h"
#include "fast_kernels.h"

namespace bmx {

void fast_f64_avx2(SleefAny vector, SleefAny scalar, void* out, const void* a, const void* b, std::size_t n) {
  apply_sleef<Lanes<double, 32>>(vector, scalar, out, a, b, n);
}

void fast_f32_avx2(SleefAny vector, SleefAny scalar, void* out, const void* a, const void* b, std::size_t n) {
  apply_sleef<Lanes<float, 32>>(vector, scalar, out, a, b, n);
}

}  // namespace bmx
