// The square root loops, built without errno (see the build): std::sqrt is
// then the square root instruction, which the loops vectorise, instead of
// keeping a branch per element to set errno. The instruction is the correctly
// rounded IEEE square root (NaN payloads included), as the library's is, so
// the bits are the same; float32's is float64's rounded once.
#include <cmath>

#include "level_parts.h"

namespace bmx {
BMX_ISA_BEGIN

void sqrt_loop(double* out, const double* in, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) out[k] = std::sqrt(in[k]);
}

void sqrt_loop(float* out, const float* in, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) out[k] = std::sqrt(in[k]);
}

BMX_ISA_END
}  // namespace bmx
