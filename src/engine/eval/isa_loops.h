// The loops the engine builds for every instruction-set level, as one table
// per level: programs look their loops up in the table of the active level
// once, when they are compiled, and every level gives the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../expr/ops.h"
#include "../ir/dtype.h"
#include "../isa/isa_level.h"
#include "chain_loops.h"
#include "exact_front.h"
#include "reduce.h"
#include "typed_loops.h"

namespace bmx {

/// The float64 engine's block loops, indexed by operator code. Each writes
/// out[k] for k < n and reads element k of its operands before it writes
/// out[k], so `out` may be the memory of an operand.
struct FlatLoops {
  using Unary = void (*)(double* out, const double* in, std::size_t n);
  /// A binary operator or comparison over two arrays, an array and a scalar
  /// on the right, or a scalar on the left and an array.
  struct Pair {
    void (*both)(double* out, const double* left, const double* right, std::size_t n);
    void (*right_scalar)(double* out, const double* left, double right, std::size_t n);
    void (*left_scalar)(double* out, double left, const double* right, std::size_t n);
  };
  Unary unary[kUnaryOps.size()];
  Pair binary[kBinaryOps.size()];
  Pair compare[kCompareOps.size()];
};

/// The tree engine's loops, indexed by operator code, over the elements of a
/// set: values[s] for s = offsets[k], k < count, or s = k when `offsets` is
/// null (the dense set).
struct TreeLoops {
  /// values[s] = op(values[s]).
  using Unary = void (*)(double* values, const std::uint32_t* offsets, std::size_t count);
  /// values[s] = op(values[s], second[s]), or op(second[s], values[s]) when
  /// `right_first`; a null `second` stands for `scalar` at every element.
  using Combine = void (*)(double* values, const std::uint32_t* offsets, std::size_t count, const double* second,
                           double scalar, bool right_first);
  Unary unary[kUnaryOps.size()];
  Combine binary[kBinaryOps.size()];
  Combine compare[kCompareOps.size()];
};

struct IsaLoops {
  const FlatLoops* flat;
  const TreeLoops* tree;
  /// The typed loop of an operation over one family of types; null for
  /// other types, an operation the type does not have, or one the level
  /// leaves to the baseline's loops (the whole complex family may be null).
  TypedLoop (*integer_loop)(TypedOp op, ElementType type);
  TypedLoop (*real_loop)(TypedOp op, ElementType type);
  TypedLoop (*complex_loop)(TypedOp op, ElementType type);
  CastLoop (*cast)(ElementType from, ElementType to);
  /// Null for an element size without a loop.
  SelectLoop (*select)(std::size_t size);
  /// The sequential Min (Max) rule over n > 0 values: the first NaN if any,
  /// else the least (greatest) value, the first of equal zeros.
  double (*min_scan)(const double* values, std::size_t n);
  double (*max_scan)(const double* values, std::size_t n);
  /// reduce_integer_rows for Sum, Prod, Min and Max (of rows of at least one
  /// element) over bool and the integer types.
  void (*integer_rows)(const void* data, ElementType type, std::size_t rows, std::size_t columns, ReduceOp op,
                       void* out);
  const ExactFrontLoops* exact_front;
  const ChainLoops* chains;
};

/// The loops of `level`; a level this build leaves out gives the best one
/// below it that it has.
const IsaLoops& isa_loops(IsaLevel level);

/// The loops of the level the engine runs at now.
inline const IsaLoops& active_loops() { return isa_loops(active_isa()); }

/// Each level's table, defined in that level's sources.
namespace isa_baseline {
const IsaLoops& level_loops();
}
namespace isa_avx2 {
const IsaLoops& level_loops();
}
namespace isa_avx512 {
const IsaLoops& level_loops();
}

}  // namespace bmx
