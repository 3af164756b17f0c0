// The float64 engine's block loops of this level. The compiler vectorises
// them to the level's width; each element still gets exactly the operator of
// operators.h, so every level gives the same bits.
#include <cmath>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "../operators.h"
#include "level_parts.h"

namespace bmx {
BMX_ISA_BEGIN

namespace {

template <UnaryOp op>
void unary_loop(double* out, const double* in, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) out[k] = unary_value<op>(in[k]);
}

#if defined(__SSE2__)
// std::sqrt keeps a branch per element to set errno, which stops the loop
// from vectorising; the square root itself is the correctly rounded IEEE one
// either way (NaN payloads included), so the packed instruction gives the
// same bits. (The all-lanes masked form of the 512-bit one avoids a false
// uninitialised-value warning of GCC 12's header.)
template <>
void unary_loop<UnaryOp::Sqrt>(double* out, const double* in, std::size_t n) {
  std::size_t k = 0;
#if defined(__AVX512F__)
  for (; k + 8 <= n; k += 8) _mm512_storeu_pd(out + k, _mm512_maskz_sqrt_pd(0xff, _mm512_loadu_pd(in + k)));
#elif defined(__AVX__)
  for (; k + 4 <= n; k += 4) _mm256_storeu_pd(out + k, _mm256_sqrt_pd(_mm256_loadu_pd(in + k)));
#endif
  for (; k + 2 <= n; k += 2) _mm_storeu_pd(out + k, _mm_sqrt_pd(_mm_loadu_pd(in + k)));
  for (; k < n; ++k) out[k] = unary_value<UnaryOp::Sqrt>(in[k]);
}
#endif

// One loop per operand shape, so that scalars are read once instead of being
// broadcast into a block first.
template <auto op>
void both_loop(double* out, const double* left, const double* right, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) out[k] = pair_value<op>(left[k], right[k]);
}

template <auto op>
void right_scalar_loop(double* out, const double* left, double right, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) out[k] = pair_value<op>(left[k], right);
}

template <auto op>
void left_scalar_loop(double* out, double left, const double* right, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) out[k] = pair_value<op>(left, right[k]);
}

struct Entries {
  template <UnaryOp op>
  static constexpr FlatLoops::Unary unary() { return &unary_loop<op>; }
  template <auto op>
  static constexpr FlatLoops::Pair pair() { return {&both_loop<op>, &right_scalar_loop<op>, &left_scalar_loop<op>}; }
};

}  // namespace

constinit const FlatLoops kFlatLoops = op_table<FlatLoops, Entries>();

BMX_ISA_END
}  // namespace bmx
