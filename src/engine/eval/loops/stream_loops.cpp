// This level's copy with non-temporal stores: whole vectors of the level's
// width go to memory without the cache first reading the lines they fill.
#include <algorithm>
#include <cstdint>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "level_parts.h"

namespace bmx {
BMX_ISA_BEGIN

void stream_copy(double* out, const double* in, std::size_t n) {
#if defined(__AVX__) || defined(__SSE2__)
#if defined(__AVX__)
  constexpr std::size_t width = 4;
  const auto store = [](double* to, const double* from) { _mm256_stream_pd(to, _mm256_loadu_pd(from)); };
#else
  constexpr std::size_t width = 2;
  const auto store = [](double* to, const double* from) { _mm_stream_pd(to, _mm_loadu_pd(from)); };
#endif
  // A streamed vector starts on its own width: the elements before the
  // first such place, and the tail, are stored as usual.
  const auto address = reinterpret_cast<std::uintptr_t>(out);
  std::size_t k = std::min(n, (width - address / sizeof(double) % width) % width);
  std::copy(in, in + k, out);
  for (; k + width <= n; k += width) store(out + k, in + k);
  std::copy(in + k, in + n, out + k);
#else
  std::copy(in, in + n, out);
#endif
}

BMX_ISA_END
}  // namespace bmx
