// Chains: two arithmetic operators of a flat program run as one loop, so that
// the inner operator's value stays in a register instead of going through a
// block of the stack (`2*x + y`, `y - a*b`, `x*x + y*y`'s sum with its second
// product). Each element gets exactly the two operators of operators.h, in the
// program's order, so the bits are those of the unchained loops. A where()
// whose branches need no evaluation of their own is the same kind of pair:
// a condition and a blend.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "../expr/ops.h"
#include "slots.h"

namespace bmx {

/// The operators a chain may join.
inline constexpr std::array kChainOps{BinaryOp::Add, BinaryOp::Sub, BinaryOp::Mul, BinaryOp::Div};

/// Which of the inner operator's operands are one number (never both).
enum class ChainShape : std::size_t { BothArrays, LeftScalar, RightScalar };
inline constexpr std::size_t kChainShapes = 3;

/// The chain loops of one level: out[k] = outer(inner(a[k], b[k]), c[k]), or
/// outer(c[k], inner(a[k], b[k])) when the inner value is the outer right
/// operand, and the square root of that when `root` (the sum of
/// `sqrt(x*x + y*y)`'s second product with its square root). An operand whose values are null stands for its scalar at every
/// element. Each loop reads element k of its operands before it writes
/// out[k], so `out` may be the memory of an operand.
struct ChainLoops {
  using Loop = void (*)(double* out, SlotSource a, SlotSource b, SlotSource c, std::size_t n);
  static constexpr std::size_t kCount = 2 * 2 * kChainOps.size() * kChainOps.size() * kChainShapes * 2;
  Loop loops[kCount];

  /// The sum or difference of two products of arrays, and its square root
  /// when `root`, in one loop: out[k] = outer(a[k]*b[k], c[k]*d[k]).
  /// Indexed by products_index.
  using Products = void (*)(double* out, const double* a, const double* b, const double* c, const double* d,
                            std::size_t n);
  Products products[4];
  /// `subtract`: the outer operator is Sub, else Add.
  static constexpr std::size_t products_index(bool subtract, bool root) {
    return static_cast<std::size_t>(subtract) * 2 + static_cast<std::size_t>(root);
  }

  /// A where() whose branches are read in place, as one blend instead of a
  /// split of the elements: values[s] = then[s] where values[s] (the
  /// condition) is not 0.0 of either sign (NaN included), else other[s], for
  /// s = offsets[k], k < count, or s = k when `offsets` is null. Both
  /// branches are read at each of those elements, which they must hold
  /// initialised. Indexed by select_index.
  using Select = void (*)(double* values, const std::uint32_t* offsets, std::size_t count, SlotSource then,
                          SlotSource other);
  Select selects[4];
  static constexpr std::size_t select_index(bool then_scalar, bool other_scalar) {
    return static_cast<std::size_t>(then_scalar) * 2 + static_cast<std::size_t>(other_scalar);
  }

  /// A where() whose condition compares an array with a value read in place,
  /// and whose branches are read in place, in one loop: values[s] = then[s]
  /// where left[s] `op` right[s] holds, else other[s], over the same elements
  /// as a Select. Indexed by compare_select_index.
  using CompareSelect = void (*)(double* values, const std::uint32_t* offsets, std::size_t count, SlotSource left,
                                 SlotSource right, SlotSource then, SlotSource other);
  static constexpr std::size_t kCompareSelects = kCompareOps.size() * 2 * 4;
  CompareSelect compare_selects[kCompareSelects];
  static constexpr std::size_t compare_select_index(CompareOp op, bool right_scalar, bool then_scalar,
                                                    bool other_scalar) {
    return (static_cast<std::size_t>(op) * 2 + static_cast<std::size_t>(right_scalar)) * 4 +
           select_index(then_scalar, other_scalar);
  }

  /// The loop of operators `inner` and `outer` (positions in kChainOps), the
  /// inner operands' shape, whether c is one number, whether the inner value
  /// is the outer right operand, and whether a square root follows.
  static constexpr std::size_t index(std::size_t inner, std::size_t outer, ChainShape shape, bool c_scalar,
                                     bool inner_right, bool root) {
    const std::size_t forms = static_cast<std::size_t>(root) * 2 + static_cast<std::size_t>(inner_right);
    return (((forms * kChainOps.size() + inner) * kChainOps.size() + outer) * kChainShapes +
            static_cast<std::size_t>(shape)) *
               2 +
           static_cast<std::size_t>(c_scalar);
  }
};

/// The position of `op` in kChainOps, if a chain may join it.
constexpr std::optional<std::size_t> chain_op_position(BinaryOp op) {
  for (std::size_t i = 0; i < kChainOps.size(); ++i) {
    if (kChainOps[i] == op) return i;
  }
  return std::nullopt;
}

}  // namespace bmx
