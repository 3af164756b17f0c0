// The loops over float32 and float64. float64 takes the float64 engine's
// operators; float32 computes each element in float64 and rounds it once,
// except where rounding twice could differ (nextafter steps in float32).
#include <cmath>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "level_parts.h"
#include "typed_loop_impl.h"

namespace bmx::typed {
BMX_ISA_BEGIN

namespace {

template <TypedOp op>
constexpr bool real_has() {
  using enum TypedOp;
  return is_real_function<op>() || is_real_binary<op>() || is_comparison<op>() || op == Signbit || op == Isnan ||
         op == Isinf || op == Isfinite || op == Nextafter || op == Conjugate;
}

}  // namespace

template <TypedOp op, Real T>
  requires(real_has<op>())
struct Apply<op, T> {
  static constexpr auto value(T l, T r, bool&) {
    using enum TypedOp;
    if constexpr (is_comparison<op>()) {
      return compare<op>(l, r);
    } else if constexpr (op == Signbit) {
      return std::signbit(l);
    } else if constexpr (op == Isnan) {
      return std::isnan(l);
    } else if constexpr (op == Isinf) {
      return std::isinf(l);
    } else if constexpr (op == Isfinite) {
      return std::isfinite(l);
    } else if constexpr (op == Conjugate) {
      return l;
    } else if constexpr (op == Nextafter) {
      return std::nextafter(l, r);
    } else if constexpr (op == Negative) {
      return static_cast<T>(-l);
    } else if constexpr (is_real_function<op>()) {
      return static_cast<T>(real_function<op>(l));
    } else if constexpr (is_exact_binary<op>()) {
      return real_binary<op>(l, r);
    } else {
      return static_cast<T>(real_binary<op>(static_cast<double>(l), static_cast<double>(r)));
    }
  }
};

#if defined(__SSE2__)
// std::sqrt keeps a branch per element to set errno, which stops the loop
// from vectorising; the packed instructions give the same correctly rounded
// bits (float32's square root is float64's rounded once).
template <>
bool typed_loop<TypedOp::Sqrt, double>(void* out, const void* in, const void*, std::size_t n) {
  auto* const target = static_cast<double*>(out);
  const auto* const source = static_cast<const double*>(in);
  std::size_t k = 0;
#if defined(__AVX512F__)
  for (; k + 8 <= n; k += 8) _mm512_storeu_pd(target + k, _mm512_maskz_sqrt_pd(0xff, _mm512_loadu_pd(source + k)));
#elif defined(__AVX__)
  for (; k + 4 <= n; k += 4) _mm256_storeu_pd(target + k, _mm256_sqrt_pd(_mm256_loadu_pd(source + k)));
#endif
  for (; k + 2 <= n; k += 2) _mm_storeu_pd(target + k, _mm_sqrt_pd(_mm_loadu_pd(source + k)));
  for (; k < n; ++k) target[k] = std::sqrt(source[k]);
  return true;
}

template <>
bool typed_loop<TypedOp::Sqrt, float>(void* out, const void* in, const void*, std::size_t n) {
  auto* const target = static_cast<float*>(out);
  const auto* const source = static_cast<const float*>(in);
  std::size_t k = 0;
#if defined(__AVX512F__)
  for (; k + 16 <= n; k += 16) _mm512_storeu_ps(target + k, _mm512_maskz_sqrt_ps(0xffff, _mm512_loadu_ps(source + k)));
#elif defined(__AVX__)
  for (; k + 8 <= n; k += 8) _mm256_storeu_ps(target + k, _mm256_sqrt_ps(_mm256_loadu_ps(source + k)));
#endif
  for (; k + 4 <= n; k += 4) _mm_storeu_ps(target + k, _mm_sqrt_ps(_mm_loadu_ps(source + k)));
  for (; k < n; ++k) target[k] = std::sqrt(source[k]);
  return true;
}
#endif

BMX_ISA_END
}  // namespace bmx::typed

namespace bmx {
BMX_ISA_BEGIN

TypedLoop real_loop_for(TypedOp op, ElementType type) {
  using namespace typed;
  if (type == ElementType::Float32) return loop_of<float>(op);
  if (type == ElementType::Float64) return loop_of<double>(op);
  return nullptr;
}

BMX_ISA_END
}  // namespace bmx
