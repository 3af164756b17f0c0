// Built with AVX-512 F; reached only on processors that have it.
#include "fast_kernel_body.h"
#include "fast_kernels.h"

namespace bmx {

void fast_f64_avx512(SleefAny vector, SleefAny scalar, void* out, const void* a, const void* b, std::size_t n) {
  apply_sleef<Lanes<double, 64>>(vector, scalar, out, a, b, n);
}

void fast_f32_avx512(SleefAny vector, SleefAny scalar, void* out, const void* a, const void* b, std::size_t n) {
  apply_sleef<Lanes<float, 64>>(vector, scalar, out, a, b, n);
}

}  // namespace bmx
