// Built once for each vector width (BMX_FAST_BYTES), with that width's
// instructions; reached only on processors that have them.
#include "fast_kernel_body.h"
#include "fast_kernels.h"

namespace bmx {

template <class T, std::size_t kBytes>
void fast_kernel(SleefAny vector, SleefAny scalar, void* out, const void* a, const void* b, std::size_t n) {
  apply_sleef<Lanes<T, kBytes>>(vector, scalar, out, a, b, n);
}

template void fast_kernel<double, BMX_FAST_BYTES>(SleefAny, SleefAny, void*, const void*, const void*, std::size_t);
template void fast_kernel<float, BMX_FAST_BYTES>(SleefAny, SleefAny, void*, const void*, const void*, std::size_t);

}  // namespace bmx
