// The parts of one level's loop table, each defined in one of the level's
// sources.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "../../isa/isa_namespace.h"
#include "../isa_loops.h"

namespace bmx {
BMX_ISA_BEGIN

/// A table of loops by operator code (FlatLoops, TreeLoops): the entry of a
/// unary operator is `Entries::unary<op>()`, that of a binary operator or a
/// comparison `Entries::pair<op>()`.
template <class Table, class Entries>
constexpr Table op_table() {
  const auto by_code = []<std::size_t... u, std::size_t... b, std::size_t... c>(
                           std::index_sequence<u...>, std::index_sequence<b...>, std::index_sequence<c...>) {
    return Table{{Entries::template unary<kUnaryOps[u]>()...},
                 {Entries::template pair<kBinaryOps[b]>()...},
                 {Entries::template pair<kCompareOps[c]>()...}};
  };
  return by_code(std::make_index_sequence<kUnaryOps.size()>(), std::make_index_sequence<kBinaryOps.size()>(),
                 std::make_index_sequence<kCompareOps.size()>());
}

extern const FlatLoops kFlatLoops;
extern const TreeLoops kTreeLoops;
CastLoop cast_loop_for(ElementType from, ElementType to);
SelectLoop select_loop_for(std::size_t size);
/// out[k] = sqrt(in[k]) for k < n, vectorised.
void sqrt_loop(double* out, const double* in, std::size_t n);
void sqrt_loop(float* out, const float* in, std::size_t n);
/// Which operands of a floored loop are one number, read at [0].
enum class FlooredShape : std::uint8_t { Both, RightScalar, LeftScalar };
/// out[k] = NumPy's left[k] // right[k] (`op` FloorDiv) or left[k] % right[k]
/// (Mod) for k < n, vectorised; `out` may be an operand.
template <BinaryOp op, class F, FlooredShape shape>
void floored_loop(F* out, const F* left, const F* right, std::size_t n);
/// The largest |exponent| exact_power_loop takes.
inline constexpr double kExactPowerBound = 50.0;
/// Whether exact_power_loop computes x ** `exponent`: a nonzero integral or
/// half-integral exponent of magnitude up to kExactPowerBound.
constexpr bool is_exact_power(double exponent) {
  const double twice = 2.0 * exponent;
  return exponent != 0.0 && twice >= -2.0 * kExactPowerBound && twice <= 2.0 * kExactPowerBound &&
         twice == static_cast<double>(static_cast<int>(twice));
}
/// out[k] = pow(in[k], exponent) for k < n, the platform's bits, vectorised
/// where they are certain; `exponent` is one is_exact_power takes, and `out`
/// may be `in`.
void exact_power_loop(double* out, const double* in, double exponent, std::size_t n);
extern const ExactFrontLoops kExactFrontLoops;
extern const ChainLoops kChainLoops;
double min_scan(const double* values, std::size_t n);
double max_scan(const double* values, std::size_t n);
void integer_rows(const void* data, ElementType type, std::size_t rows, std::size_t columns, ReduceOp op, void* out);

BMX_ISA_END
}  // namespace bmx

namespace bmx::typed {
BMX_ISA_BEGIN

/// The typed loops of each family, each defined beside the family's scalar bodies.
TypedLoop integer_loop_for(TypedOp op, ElementType type);
TypedLoop real_loop_for(TypedOp op, ElementType type);
TypedLoop complex_loop_for(TypedOp op, ElementType type);

BMX_ISA_END
}  // namespace bmx::typed
