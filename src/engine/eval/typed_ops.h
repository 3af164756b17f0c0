// The operations of typed evaluation, named after the NumPy functions whose
// loops they are: the package asks NumPy which loop (operand types) a call
// takes and the engine runs the loop of that name and type. They are the
// typed rows of the function table (expr/functions.h), each with its code.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "../expr/functions.h"
#include "../expr/ops.h"
#include "../fastmath/sleef_library.h"
#include "../ir/dtype.h"

namespace bmx {

/// What a loop's result type is: its operands' type, bool, or the real type
/// of its complex operands.
enum class ResultRule : std::uint8_t { Same, Bool, Real };

/// Which levels build an operation's loops: every one, or the baseline alone
/// (the wider levels take its loops for those their width cannot speed up,
/// which call libm, divide or walk an exponent element by element: compiling
/// them three times would only cost build time).
enum class Levels : std::uint8_t { All, Baseline };

/// How float32 computes an operation that has a float64 operator: in
/// float64, rounded once; in float32 itself (Exact), which gives the same
/// bits for the correctly rounded operations and those that pick an operand,
/// and the only right ones for nextafter, whose step is float32's; or with
/// the platform's float32 function (Libm), as NumPy's float32 loop does:
/// powf, whose bits are not always those of pow rounded once.
enum class Float32Rule : std::uint8_t { Rounded, Exact, Libm };

/// The float64 engine's operator an operation's float64 loop computes with,
/// of one of the three kinds; none for the operations it lacks.
struct Float64Op {
  std::optional<UnaryOp> unary;
  std::optional<BinaryOp> binary;
  std::optional<CompareOp> compare;
};

/// The type families an operation has loops of, as letters of its families
/// column, in this order.
enum class Family : char { Bool = 'b', Integer = 'i', Real = 'r', Complex = 'c' };

/// The typed operations, as Y(name, code, numpy, arity, rule, families,
/// levels, float32, kind, op, op_code, sleef, cost, fast): the rows of the function table
/// (expr/functions.h) whose typed column is T.
#define BMX_TYPED_OPS(Y) BMX_FUNCTIONS(BMX_TYPED_ROW, Y)
#define BMX_TYPED_ROW(Y, typed, ...) BMX_TYPED_##typed(Y, __VA_ARGS__)
#define BMX_TYPED_T(Y, ...) Y(__VA_ARGS__)
#define BMX_TYPED_N(...)

#define BMX_TYPED_ENUMERATOR(name, code, ...) name = code,
enum class TypedOp : std::uint8_t { BMX_TYPED_OPS(BMX_TYPED_ENUMERATOR) };
#undef BMX_TYPED_ENUMERATOR

/// A typed row's columns.
struct TypedOpInfo {
  TypedOp op;
  std::string_view name;
  int arity;
  ResultRule rule;
  std::string_view families;
  Levels levels;
  Float32Rule float32;
  Float64Op float64;
  std::optional<SleefFunction> sleef;
  /// What one element costs in the libm loop and in the fast one, in additions.
  std::uint16_t cost;
  std::uint16_t fast_cost;
};

// A row's float64 operator by its kind, and its SLEEF kernel, the one named
// as the operator, when it has one.
#define BMX_TYPED_INFO(name, code, numpy, arity, rule, families, levels, float32, kind, op, op_code, sleef, cost, \
                       fast)                                                                                     \
  {TypedOp::name, numpy, arity, ResultRule::rule, families, Levels::levels, Float32Rule::float32,                \
   BMX_FLOAT64_OP_##kind(op), std::optional<SleefFunction>{BMX_SLEEF_HAS_##sleef(SleefFunction::op)}, cost, fast},
#define BMX_FLOAT64_OP_U(op) Float64Op{UnaryOp::op, {}, {}}
#define BMX_FLOAT64_OP_B(op) Float64Op{{}, BinaryOp::op, {}}
#define BMX_FLOAT64_OP_C(op) Float64Op{{}, {}, CompareOp::op}
#define BMX_FLOAT64_OP_N(op) Float64Op{}
inline constexpr TypedOpInfo kTypedOps[] = {BMX_TYPED_OPS(BMX_TYPED_INFO)};
#undef BMX_TYPED_INFO
#undef BMX_FLOAT64_OP_U
#undef BMX_FLOAT64_OP_B
#undef BMX_FLOAT64_OP_C
#undef BMX_FLOAT64_OP_N

/// The entry of `code`, or null when no operation has it.
constexpr const TypedOpInfo* typed_op_info(std::uint64_t code) {
  for (const TypedOpInfo& info : kTypedOps) {
    if (static_cast<std::uint64_t>(info.op) == code) return &info;
  }
  return nullptr;
}

/// The entry of `op`.
constexpr const TypedOpInfo& typed_info(TypedOp op) { return *typed_op_info(static_cast<std::uint64_t>(op)); }

/// Whether `op` has loops over the types of `family`.
constexpr bool has_family(TypedOp op, Family family) {
  return typed_info(op).families.find(static_cast<char>(family)) != std::string_view::npos;
}

/// The comparisons: two operands, a bool result.
constexpr bool is_comparison(TypedOp op) {
  return typed_info(op).arity == 2 && typed_info(op).rule == ResultRule::Bool;
}

// A row that contradicts itself fails the build: families are letters of
// "birc" in that order, a float64 operator takes as many operands as the
// operation, float32 computes in float32 only with a binary operator's rule
// (the unary loops round from float64), and SLEEF's loops are float32 and
// float64 ones.
constexpr bool is_consistent(const TypedOpInfo& info) {
  const std::string_view order = "birc";
  std::size_t at = 0;
  for (const char family : info.families) {
    at = order.find(family, at);
    if (at == std::string_view::npos) return false;
    ++at;
  }
  const Float64Op& float64 = info.float64;
  if (float64.unary && info.arity != 1) return false;
  if ((float64.binary || float64.compare) && info.arity != 2) return false;
  if (info.float32 != Float32Rule::Rounded && !float64.binary) return false;
  return !info.sleef || info.families.find('r') != std::string_view::npos;
}
static_assert(std::ranges::all_of(kTypedOps, is_consistent));

// No two rows share a code: the second would be unreachable from programs.
static_assert([] {
  for (const TypedOpInfo& info : kTypedOps) {
    if (std::ranges::count(kTypedOps, info.op, &TypedOpInfo::op) != 1) return false;
  }
  return true;
}());

// Every function loaded from SLEEF is some operation's kernel.
constexpr bool is_some_kernel(std::size_t function) {
  return std::ranges::any_of(kTypedOps, [function](const TypedOpInfo& info) {
    return info.sleef && static_cast<std::size_t>(*info.sleef) == function;
  });
}
static_assert([] {
  for (std::size_t function = 0; function < kSleefFunctionCount; ++function) {
    if (!is_some_kernel(function)) return false;
  }
  return true;
}());

/// The type of the result of `info`'s loop over operands of `type`.
constexpr ElementType result_type(const TypedOpInfo& info, ElementType type) {
  switch (info.rule) {
    case ResultRule::Bool: return ElementType::Bool;
    case ResultRule::Real: return real_part_type(type);
    case ResultRule::Same: break;
  }
  return type;
}

}  // namespace bmx
