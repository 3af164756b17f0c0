// Operator codes shared by the expression tree, the flat IR, the evaluator and
// the compile-cache key. Each table entry gives its code explicitly, so the
// order of the list carries no meaning.
#pragma once

#include <cstdint>

namespace bmx {

#define BMX_UNARY_OPS(X) \
  X(Neg, 0)              \
  X(Abs, 1)              \
  X(Sqrt, 2)             \
  X(Log, 3)              \
  X(Exp, 4)              \
  X(Log2, 5)             \
  X(Log10, 6)            \
  X(Floor, 7)            \
  X(Ceil, 8)             \
  X(Round, 9)            \
  X(Sin, 10)             \
  X(Cos, 11)             \
  X(Tan, 12)             \
  X(Sinh, 13)            \
  X(Cosh, 14)            \
  X(Tanh, 15)            \
  X(Asin, 16)            \
  X(Acos, 17)            \
  X(Atan, 18)            \
  X(Asinh, 19)           \
  X(Acosh, 20)           \
  X(Atanh, 21)           \
  X(Log1p, 22)           \
  X(Expm1, 23)           \
  X(Trunc, 24)           \
  X(RoundEven, 25)       \
  X(Sign, 26)            \
  X(Signbit, 27)         \
  X(IsNan, 28)           \
  X(IsInf, 29)           \
  X(IsFinite, 30)         \
  X(Cbrt, 31)

#define BMX_BINARY_OPS(X) \
  X(Add, 0)               \
  X(Sub, 1)               \
  X(Mul, 2)               \
  X(Div, 3)               \
  X(Pow, 4)               \
  X(Atan2, 5)             \
  X(Min, 6)               \
  X(Max, 7)               \
  X(Fmod, 8)              \
  X(Hypot, 9)             \
  X(Nextafter, 10)        \
  X(Copysign, 11)         \
  X(FloorDiv, 12)         \
  X(Mod, 13)              \
  X(Minimum, 14)          \
  X(Maximum, 15)

#define BMX_COMPARE_OPS(X) \
  X(Gt, 0)                 \
  X(Ge, 1)                 \
  X(Lt, 2)                 \
  X(Le, 3)                 \
  X(Eq, 4)                 \
  X(Ne, 5)

#define BMX_ENUMERATOR(name, code) name = code,

enum class UnaryOp : std::uint8_t { BMX_UNARY_OPS(BMX_ENUMERATOR) };
enum class BinaryOp : std::uint8_t { BMX_BINARY_OPS(BMX_ENUMERATOR) };
enum class CompareOp : std::uint8_t { BMX_COMPARE_OPS(BMX_ENUMERATOR) };

#undef BMX_ENUMERATOR

/// Every unary and binary operator, in table order, for code that walks all
/// of them (the extension exports their names).
#define BMX_UNARY_VALUE(name, code) UnaryOp::name,
inline constexpr UnaryOp kUnaryOps[] = {BMX_UNARY_OPS(BMX_UNARY_VALUE)};
#undef BMX_UNARY_VALUE
#define BMX_BINARY_VALUE(name, code) BinaryOp::name,
inline constexpr BinaryOp kBinaryOps[] = {BMX_BINARY_OPS(BMX_BINARY_VALUE)};
#undef BMX_BINARY_VALUE

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
#define BMX_CODE_CASE(name, code) case code:
constexpr bool is_unary_op_code(std::uint8_t code) {
  switch (code) {
    BMX_UNARY_OPS(BMX_CODE_CASE)
    return true;
    default: return false;
  }
}

constexpr bool is_binary_op_code(std::uint8_t code) {
  switch (code) {
    BMX_BINARY_OPS(BMX_CODE_CASE)
    return true;
    default: return false;
  }
}

constexpr bool is_compare_op_code(std::uint8_t code) {
  switch (code) {
    BMX_COMPARE_OPS(BMX_CODE_CASE)
    return true;
    default: return false;
  }
}
#undef BMX_CODE_CASE

}  // namespace bmx
