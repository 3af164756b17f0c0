// The float64 engine's block loops of this level. The compiler vectorises
// them to the level's width; each element still gets exactly the operator of
// operators.h, so every level gives the same bits.
#include "../operators.h"
#include "level_parts.h"

namespace bmx {
BMX_ISA_BEGIN

namespace {

template <UnaryOp op>
void unary_loop(double* out, const double* in, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) out[k] = unary_value<op>(in[k]);
}

// std::sqrt keeps a branch per element to set errno, which stops the loop
// from vectorising; sqrt_loop has none.
template <>
void unary_loop<UnaryOp::Sqrt>(double* out, const double* in, std::size_t n) {
  sqrt_loop(out, in, n);
}

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
