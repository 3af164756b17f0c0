// The float64 engine's block loops of this level. The compiler vectorises
// them to the level's width; each element still gets exactly the operator of
// operators.h, so every level gives the same bits.
#include <type_traits>

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

// A constant integral or half-integral power is pow's bits without a call
// per element (see exact_power_loops.cpp).
template <>
void right_scalar_loop<BinaryOp::Pow>(double* out, const double* left, double right, std::size_t n) {
  if (is_exact_power(right)) {
    exact_power_loop(out, left, right, n);
    return;
  }
  for (std::size_t k = 0; k < n; ++k) out[k] = pair_value<BinaryOp::Pow>(left[k], right);
}

template <auto op>
void left_scalar_loop(double* out, double left, const double* right, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) out[k] = pair_value<op>(left, right[k]);
}

// Floored division and remainder call fmod per element; floored_loop finds
// fmod without it, vectorised, where the quotient is small.
template <BinaryOp op>
void floored_right_scalar(double* out, const double* left, double right, std::size_t n) {
  floored_loop<op, double, FlooredShape::RightScalar>(out, left, &right, n);
}

template <BinaryOp op>
void floored_left_scalar(double* out, double left, const double* right, std::size_t n) {
  floored_loop<op, double, FlooredShape::LeftScalar>(out, &left, right, n);
}

struct Entries {
  template <UnaryOp op>
  static constexpr FlatLoops::Unary unary() { return &unary_loop<op>; }
  template <auto op>
  static constexpr FlatLoops::Pair pair() {
    if constexpr (std::is_same_v<decltype(op), BinaryOp>) {
      if constexpr (op == BinaryOp::FloorDiv || op == BinaryOp::Mod) {
        return {&floored_loop<op, double, FlooredShape::Both>, &floored_right_scalar<op>, &floored_left_scalar<op>};
      }
    }
    return {&both_loop<op>, &right_scalar_loop<op>, &left_scalar_loop<op>};
  }
};

}  // namespace

constinit const FlatLoops kFlatLoops = op_table<FlatLoops, Entries>();

BMX_ISA_END
}  // namespace bmx
