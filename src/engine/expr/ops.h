// Operator codes shared by the expression tree, the flat IR, the evaluator and
// the compile-cache key, generated from the function table's float64
// columns. Each row gives its operator's code explicitly, so the order of the
// table carries no meaning.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "functions.h"

namespace bmx {

// The float64 trees' operators of each kind, as Y(name, code) for every row
// of the function table of kind U, B or C. A row's kind picks which of the
// three callers its operator goes to; the other two drop it.
#define BMX_UNARY_OPS(Y) BMX_FUNCTIONS(BMX_FLOAT64_ROW, (Y, BMX_DROP, BMX_DROP))
#define BMX_BINARY_OPS(Y) BMX_FUNCTIONS(BMX_FLOAT64_ROW, (BMX_DROP, Y, BMX_DROP))
#define BMX_COMPARE_OPS(Y) BMX_FUNCTIONS(BMX_FLOAT64_ROW, (BMX_DROP, BMX_DROP, Y))
#define BMX_FLOAT64_ROW(callers, typed, name, code, numpy, arity, rule, families, levels, float32, kind, op, op_code, \
                        sleef, cost, fast)                                                                         \
  BMX_FLOAT64_CALL(BMX_KIND_##kind callers, op, op_code)
#define BMX_FLOAT64_CALL(caller, op, code) caller(op, code)
#define BMX_KIND_U(unary, binary, compare) unary
#define BMX_KIND_B(unary, binary, compare) binary
#define BMX_KIND_C(unary, binary, compare) compare
#define BMX_KIND_N(unary, binary, compare) BMX_DROP
#define BMX_DROP(...)

#define BMX_ENUMERATOR(name, code) name = code,

enum class UnaryOp : std::uint8_t { BMX_UNARY_OPS(BMX_ENUMERATOR) };
enum class BinaryOp : std::uint8_t { BMX_BINARY_OPS(BMX_ENUMERATOR) };
enum class CompareOp : std::uint8_t { BMX_COMPARE_OPS(BMX_ENUMERATOR) };

#undef BMX_ENUMERATOR

/// An enumeration's operators in code order.
template <class Op, std::size_t n>
constexpr std::array<Op, n> in_code_order(std::array<Op, n> ops) {
  std::ranges::sort(ops);
  return ops;
}

/// Every operator of each enumeration, in code order, for code that walks
/// all of them (the extension exports their names, each at its code) and
/// tables indexed by code.
#define BMX_UNARY_VALUE(name, code) UnaryOp::name,
#define BMX_BINARY_VALUE(name, code) BinaryOp::name,
#define BMX_COMPARE_VALUE(name, code) CompareOp::name,
inline constexpr auto kUnaryOps = in_code_order(std::array{BMX_UNARY_OPS(BMX_UNARY_VALUE)});
inline constexpr auto kBinaryOps = in_code_order(std::array{BMX_BINARY_OPS(BMX_BINARY_VALUE)});
inline constexpr auto kCompareOps = in_code_order(std::array{BMX_COMPARE_OPS(BMX_COMPARE_VALUE)});
#undef BMX_UNARY_VALUE
#undef BMX_BINARY_VALUE
#undef BMX_COMPARE_VALUE

// Codes run from 0 without a gap, so that loop tables are indexed by code and
// a code read from outside is valid exactly when it is below the count.
template <class Op, std::size_t n>
constexpr bool codes_from_zero(const std::array<Op, n>& ops) {
  for (std::size_t k = 0; k < n; ++k) {
    if (static_cast<std::size_t>(ops[k]) != k) return false;
  }
  return true;
}
static_assert(codes_from_zero(kUnaryOps) && codes_from_zero(kBinaryOps) && codes_from_zero(kCompareOps));

#define BMX_NAME_CASE(name, code) \
  case decltype(op)::name: return #name;
/// The enumerator name, as repr prints it ("Neg", "Add", "Gt", ...).
constexpr const char* op_name(UnaryOp op) {
  switch (op) { BMX_UNARY_OPS(BMX_NAME_CASE) }
  return "?";
}

constexpr const char* op_name(BinaryOp op) {
  switch (op) { BMX_BINARY_OPS(BMX_NAME_CASE) }
  return "?";
}

constexpr const char* op_name(CompareOp op) {
  switch (op) { BMX_COMPARE_OPS(BMX_NAME_CASE) }
  return "?";
}
#undef BMX_NAME_CASE

/// Whether `code` is the code of an operator of each enumeration: bytes read
/// from outside are checked with these before they are cast.
constexpr bool is_unary_op_code(std::uint8_t code) { return code < kUnaryOps.size(); }
constexpr bool is_binary_op_code(std::uint8_t code) { return code < kBinaryOps.size(); }
constexpr bool is_compare_op_code(std::uint8_t code) { return code < kCompareOps.size(); }

}  // namespace bmx
