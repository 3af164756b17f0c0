// This level's chain loops: two operators per element in one pass, and the
// blends of where() over branches read in place, which the compiler
// vectorises to the level's width as it does the single loops.
#include "../chain_loops.h"

#include <cmath>
#include <cstdint>
#include <utility>

#include "../../isa/isa_namespace.h"
#include "../operators.h"
#include "level_parts.h"

namespace bmx {
BMX_ISA_BEGIN

namespace {

/// Element k of an operand: its values, or the one number it stands for.
template <bool scalar>
[[gnu::always_inline]] inline double at(const SlotSource& operand, std::size_t k) {
  if constexpr (scalar) {
    return operand.scalar;
  } else {
    return operand.values[k];
  }
}

// Built without errno (see the build), std::sqrt is the square root
// instruction, as in sqrt_loop: the correctly rounded root, NaN payloads
// included, and the loop vectorises.
template <BinaryOp inner, BinaryOp outer, ChainShape shape, bool c_scalar, bool inner_right, bool root>
void chain_loop(double* out, SlotSource a, SlotSource b, SlotSource c, std::size_t n) {
  constexpr bool a_scalar = shape == ChainShape::LeftScalar;
  constexpr bool b_scalar = shape == ChainShape::RightScalar;
  for (std::size_t k = 0; k < n; ++k) {
    const double value = binary_value<inner>(at<a_scalar>(a, k), at<b_scalar>(b, k));
    const double other = at<c_scalar>(c, k);
    const double result = inner_right ? binary_value<outer>(other, value) : binary_value<outer>(value, other);
    out[k] = root ? std::sqrt(result) : result;
  }
}

template <BinaryOp outer, bool root>
void products_loop(double* out, const double* a, const double* b, const double* c, const double* d,
                   std::size_t n) {
  if (a == b && c == d) {
    // Squares (`x*x + y*y`): with one value on both sides the NaN operand
    // select of each product folds away, and each array is read once.
    for (std::size_t k = 0; k < n; ++k) {
      const double x = a[k], y = c[k];
      const double result = binary_value<outer>(binary_value<BinaryOp::Mul>(x, x), binary_value<BinaryOp::Mul>(y, y));
      out[k] = root ? std::sqrt(result) : result;
    }
    return;
  }
  for (std::size_t k = 0; k < n; ++k) {
    const double first = binary_value<BinaryOp::Mul>(a[k], b[k]);
    const double result = binary_value<outer>(first, binary_value<BinaryOp::Mul>(c[k], d[k]));
    out[k] = root ? std::sqrt(result) : result;
  }
}

/// Both branches at element s, read before the condition is: plain loads and
/// one blend, where reading only the chosen one compiles to a masked load
/// (and the comparison twice). Every element of a branch is in range.
template <bool then_scalar, bool other_scalar>
[[gnu::always_inline]] inline std::pair<double, double> branches(const SlotSource& then, const SlotSource& other,
                                                                 std::size_t s) {
  return {at<then_scalar>(then, s), at<other_scalar>(other, s)};
}

template <bool then_scalar, bool other_scalar>
void select_loop(double* values, const std::uint32_t* offsets, std::size_t count, SlotSource then,
                 SlotSource other) {
  if (offsets == nullptr) {
    for (std::size_t k = 0; k < count; ++k) {
      const auto [then_value, other_value] = branches<then_scalar, other_scalar>(then, other, k);
      values[k] = values[k] != 0.0 ? then_value : other_value;
    }
    return;
  }
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t s = offsets[k];
    const auto [then_value, other_value] = branches<then_scalar, other_scalar>(then, other, s);
    values[s] = values[s] != 0.0 ? then_value : other_value;
  }
}

template <CompareOp op, bool right_scalar, bool then_scalar, bool other_scalar>
void compare_select_loop(double* values, const std::uint32_t* offsets, std::size_t count, SlotSource left,
                         SlotSource right, SlotSource then, SlotSource other) {
  const auto value = [&](std::size_t s) {
    const auto [then_value, other_value] = branches<then_scalar, other_scalar>(then, other, s);
    return compare_value<op>(left.values[s], at<right_scalar>(right, s)) != 0.0 ? then_value : other_value;
  };
  if (offsets == nullptr) {
    for (std::size_t k = 0; k < count; ++k) values[k] = value(k);
    return;
  }
  for (std::size_t k = 0; k < count; ++k) values[offsets[k]] = value(offsets[k]);
}

template <std::size_t index>
constexpr ChainLoops::CompareSelect compare_select_entry() {
  constexpr CompareOp op = kCompareOps[index / 8];
  static_assert(ChainLoops::compare_select_index(op, index / 4 % 2 != 0, index / 2 % 2 != 0, index % 2 != 0) ==
                index);
  return &compare_select_loop<op, index / 4 % 2 != 0, index / 2 % 2 != 0, index % 2 != 0>;
}

template <std::size_t index>
constexpr ChainLoops::Loop entry() {
  constexpr std::size_t ops = kChainOps.size();
  constexpr bool c_scalar = index % 2 != 0;
  constexpr auto shape = static_cast<ChainShape>(index / 2 % kChainShapes);
  constexpr std::size_t outer = index / (2 * kChainShapes) % ops;
  constexpr std::size_t inner = index / (2 * kChainShapes * ops) % ops;
  constexpr std::size_t forms = index / (2 * kChainShapes * ops * ops);
  constexpr bool inner_right = forms % 2 != 0;
  constexpr bool root = forms / 2 != 0;
  static_assert(ChainLoops::index(inner, outer, shape, c_scalar, inner_right, root) == index);
  return &chain_loop<kChainOps[inner], kChainOps[outer], shape, c_scalar, inner_right, root>;
}

constexpr ChainLoops make_table() {
  return []<std::size_t... i, std::size_t... c>(std::index_sequence<i...>, std::index_sequence<c...>) {
    return ChainLoops{{entry<i>()...},
                      {&products_loop<BinaryOp::Add, false>, &products_loop<BinaryOp::Add, true>,
                       &products_loop<BinaryOp::Sub, false>, &products_loop<BinaryOp::Sub, true>},
                      {&select_loop<false, false>, &select_loop<false, true>, &select_loop<true, false>,
                       &select_loop<true, true>},
                      {compare_select_entry<c>()...}};
  }(std::make_index_sequence<ChainLoops::kCount>(), std::make_index_sequence<ChainLoops::kCompareSelects>());
}

}  // namespace

constinit const ChainLoops kChainLoops = make_table();

BMX_ISA_END
}  // namespace bmx
