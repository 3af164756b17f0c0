// The operations of typed evaluation, named after the NumPy functions whose
// loops they are: the package asks NumPy which loop (operand types) a call
// takes and the engine runs the loop of that name and type. Each entry gives
// its code explicitly; the order of the list carries no meaning.
#pragma once

#include <cstdint>
#include <string_view>

#include "../ir/dtype.h"

namespace bmx {

/// What a loop's result type is: its operands' type, bool, or the real type
/// of its complex operands.
enum class ResultRule : std::uint8_t { Same, Bool, Real };

#define BMX_TYPED_OPS(X)                           \
  X(Negative, 0, "negative", 1, Same)              \
  X(Absolute, 1, "absolute", 1, Real)              \
  X(Sqrt, 2, "sqrt", 1, Same)                      \
  X(Exp, 3, "exp", 1, Same)                        \
  X(Expm1, 4, "expm1", 1, Same)                    \
  X(Log, 5, "log", 1, Same)                        \
  X(Log1p, 6, "log1p", 1, Same)                    \
  X(Log2, 7, "log2", 1, Same)                      \
  X(Log10, 8, "log10", 1, Same)                    \
  X(Sin, 9, "sin", 1, Same)                        \
  X(Cos, 10, "cos", 1, Same)                       \
  X(Tan, 11, "tan", 1, Same)                       \
  X(Arcsin, 12, "arcsin", 1, Same)                 \
  X(Arccos, 13, "arccos", 1, Same)                 \
  X(Arctan, 14, "arctan", 1, Same)                 \
  X(Sinh, 15, "sinh", 1, Same)                     \
  X(Cosh, 16, "cosh", 1, Same)                     \
  X(Tanh, 17, "tanh", 1, Same)                     \
  X(Arcsinh, 18, "arcsinh", 1, Same)               \
  X(Arccosh, 19, "arccosh", 1, Same)               \
  X(Arctanh, 20, "arctanh", 1, Same)               \
  X(Floor, 21, "floor", 1, Same)                   \
  X(Ceil, 22, "ceil", 1, Same)                     \
  X(Trunc, 23, "trunc", 1, Same)                   \
  X(Rint, 24, "rint", 1, Same)                     \
  X(Sign, 25, "sign", 1, Same)                     \
  X(Signbit, 26, "signbit", 1, Bool)               \
  X(Isnan, 27, "isnan", 1, Bool)                   \
  X(Isinf, 28, "isinf", 1, Bool)                   \
  X(Isfinite, 29, "isfinite", 1, Bool)             \
  X(Invert, 30, "invert", 1, Same)                 \
  X(Real, 31, "real", 1, Real)                     \
  X(Imag, 32, "imag", 1, Real)                     \
  X(Conjugate, 33, "conjugate", 1, Same)           \
  X(Add, 40, "add", 2, Same)                       \
  X(Subtract, 41, "subtract", 2, Same)             \
  X(Multiply, 42, "multiply", 2, Same)             \
  X(Divide, 43, "divide", 2, Same)                 \
  X(FloorDivide, 44, "floor_divide", 2, Same)      \
  X(Remainder, 45, "remainder", 2, Same)           \
  X(Power, 46, "power", 2, Same)                   \
  X(Arctan2, 47, "arctan2", 2, Same)               \
  X(Hypot, 48, "hypot", 2, Same)                   \
  X(Copysign, 49, "copysign", 2, Same)             \
  X(Nextafter, 50, "nextafter", 2, Same)           \
  X(Fmod, 51, "fmod", 2, Same)                     \
  X(Fmin, 52, "fmin", 2, Same)                     \
  X(Fmax, 53, "fmax", 2, Same)                     \
  X(Minimum, 54, "minimum", 2, Same)               \
  X(Maximum, 55, "maximum", 2, Same)               \
  X(BitwiseAnd, 56, "bitwise_and", 2, Same)        \
  X(BitwiseOr, 57, "bitwise_or", 2, Same)          \
  X(BitwiseXor, 58, "bitwise_xor", 2, Same)        \
  X(LeftShift, 59, "left_shift", 2, Same)          \
  X(RightShift, 60, "right_shift", 2, Same)        \
  X(Greater, 61, "greater", 2, Bool)               \
  X(GreaterEqual, 62, "greater_equal", 2, Bool)    \
  X(Less, 63, "less", 2, Bool)                     \
  X(LessEqual, 64, "less_equal", 2, Bool)          \
  X(Equal, 65, "equal", 2, Bool)                   \
  X(NotEqual, 66, "not_equal", 2, Bool)

#define BMX_TYPED_ENUMERATOR(name, code, text, arity, rule) name = code,
enum class TypedOp : std::uint8_t { BMX_TYPED_OPS(BMX_TYPED_ENUMERATOR) };
#undef BMX_TYPED_ENUMERATOR

struct TypedOpInfo {
  TypedOp op;
  std::string_view name;
  int arity;
  ResultRule rule;
};

#define BMX_TYPED_INFO(name, code, text, arity, rule) {TypedOp::name, text, arity, ResultRule::rule},
inline constexpr TypedOpInfo kTypedOps[] = {BMX_TYPED_OPS(BMX_TYPED_INFO)};
#undef BMX_TYPED_INFO

/// The entry of `code`, or null when no operation has it.
constexpr const TypedOpInfo* typed_op_info(std::uint64_t code) {
  for (const TypedOpInfo& info : kTypedOps) {
    if (static_cast<std::uint64_t>(info.op) == code) return &info;
  }
  return nullptr;
}

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
