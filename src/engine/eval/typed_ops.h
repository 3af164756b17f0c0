// The operations of typed evaluation, named after the NumPy functions whose
// loops they are: the package asks NumPy which loop (operand types) a call
// takes and the engine runs the loop of that name and type. Each entry gives
// its code explicitly; the order of the list carries no meaning.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "../fastmath/sleef_library.h"
#include "../ir/dtype.h"

namespace bmx {

/// What a loop's result type is: its operands' type, bool, or the real type
/// of its complex operands.
enum class ResultRule : std::uint8_t { Same, Bool, Real };

/// The operations without a kernel of SLEEF, which fast math leaves to libm.
inline constexpr std::nullopt_t kNoSleef = std::nullopt;

/// Each operation: enumerator, code, NumPy's name, operands, result rule, and
/// the SLEEF kernel fast math computes its float32 and float64 loops with.
#define BMX_TYPED_OPS(X)                                   \
  X(Negative, 0, "negative", 1, Same, kNoSleef)            \
  X(Absolute, 1, "absolute", 1, Real, kNoSleef)            \
  X(Sqrt, 2, "sqrt", 1, Same, kNoSleef)                    \
  X(Exp, 3, "exp", 1, Same, SleefFunction::Exp)            \
  X(Expm1, 4, "expm1", 1, Same, SleefFunction::Expm1)      \
  X(Log, 5, "log", 1, Same, SleefFunction::Log)            \
  X(Log1p, 6, "log1p", 1, Same, SleefFunction::Log1p)      \
  X(Log2, 7, "log2", 1, Same, SleefFunction::Log2)         \
  X(Log10, 8, "log10", 1, Same, SleefFunction::Log10)      \
  X(Sin, 9, "sin", 1, Same, SleefFunction::Sin)            \
  X(Cos, 10, "cos", 1, Same, SleefFunction::Cos)           \
  X(Tan, 11, "tan", 1, Same, SleefFunction::Tan)           \
  X(Arcsin, 12, "arcsin", 1, Same, SleefFunction::Asin)    \
  X(Arccos, 13, "arccos", 1, Same, SleefFunction::Acos)    \
  X(Arctan, 14, "arctan", 1, Same, SleefFunction::Atan)    \
  X(Sinh, 15, "sinh", 1, Same, SleefFunction::Sinh)        \
  X(Cosh, 16, "cosh", 1, Same, SleefFunction::Cosh)        \
  X(Tanh, 17, "tanh", 1, Same, SleefFunction::Tanh)        \
  X(Arcsinh, 18, "arcsinh", 1, Same, SleefFunction::Asinh) \
  X(Arccosh, 19, "arccosh", 1, Same, SleefFunction::Acosh) \
  X(Arctanh, 20, "arctanh", 1, Same, SleefFunction::Atanh) \
  X(Floor, 21, "floor", 1, Same, kNoSleef)                 \
  X(Ceil, 22, "ceil", 1, Same, kNoSleef)                   \
  X(Trunc, 23, "trunc", 1, Same, kNoSleef)                 \
  X(Rint, 24, "rint", 1, Same, kNoSleef)                   \
  X(Sign, 25, "sign", 1, Same, kNoSleef)                   \
  X(Signbit, 26, "signbit", 1, Bool, kNoSleef)             \
  X(Isnan, 27, "isnan", 1, Bool, kNoSleef)                 \
  X(Isinf, 28, "isinf", 1, Bool, kNoSleef)                 \
  X(Isfinite, 29, "isfinite", 1, Bool, kNoSleef)           \
  X(Invert, 30, "invert", 1, Same, kNoSleef)               \
  X(Real, 31, "real", 1, Real, kNoSleef)                   \
  X(Imag, 32, "imag", 1, Real, kNoSleef)                   \
  X(Conjugate, 33, "conjugate", 1, Same, kNoSleef)         \
  X(Add, 40, "add", 2, Same, kNoSleef)                     \
  X(Subtract, 41, "subtract", 2, Same, kNoSleef)           \
  X(Multiply, 42, "multiply", 2, Same, kNoSleef)           \
  X(Divide, 43, "divide", 2, Same, kNoSleef)               \
  X(FloorDivide, 44, "floor_divide", 2, Same, kNoSleef)    \
  X(Remainder, 45, "remainder", 2, Same, kNoSleef)         \
  X(Power, 46, "power", 2, Same, SleefFunction::Pow)       \
  X(Arctan2, 47, "arctan2", 2, Same, SleefFunction::Atan2) \
  X(Hypot, 48, "hypot", 2, Same, SleefFunction::Hypot)     \
  X(Copysign, 49, "copysign", 2, Same, kNoSleef)           \
  X(Nextafter, 50, "nextafter", 2, Same, kNoSleef)         \
  X(Fmod, 51, "fmod", 2, Same, kNoSleef)                   \
  X(Fmin, 52, "fmin", 2, Same, kNoSleef)                   \
  X(Fmax, 53, "fmax", 2, Same, kNoSleef)                   \
  X(Minimum, 54, "minimum", 2, Same, kNoSleef)             \
  X(Maximum, 55, "maximum", 2, Same, kNoSleef)             \
  X(BitwiseAnd, 56, "bitwise_and", 2, Same, kNoSleef)      \
  X(BitwiseOr, 57, "bitwise_or", 2, Same, kNoSleef)        \
  X(BitwiseXor, 58, "bitwise_xor", 2, Same, kNoSleef)      \
  X(LeftShift, 59, "left_shift", 2, Same, kNoSleef)        \
  X(RightShift, 60, "right_shift", 2, Same, kNoSleef)      \
  X(Greater, 61, "greater", 2, Bool, kNoSleef)             \
  X(GreaterEqual, 62, "greater_equal", 2, Bool, kNoSleef)  \
  X(Less, 63, "less", 2, Bool, kNoSleef)                   \
  X(LessEqual, 64, "less_equal", 2, Bool, kNoSleef)        \
  X(Equal, 65, "equal", 2, Bool, kNoSleef)                 \
  X(NotEqual, 66, "not_equal", 2, Bool, kNoSleef)

#define BMX_TYPED_ENUMERATOR(name, code, text, arity, rule, sleef) name = code,
enum class TypedOp : std::uint8_t { BMX_TYPED_OPS(BMX_TYPED_ENUMERATOR) };
#undef BMX_TYPED_ENUMERATOR

struct TypedOpInfo {
  TypedOp op;
  std::string_view name;
  int arity;
  ResultRule rule;
  std::optional<SleefFunction> sleef;
};

#define BMX_TYPED_INFO(name, code, text, arity, rule, sleef) {TypedOp::name, text, arity, ResultRule::rule, sleef},
inline constexpr TypedOpInfo kTypedOps[] = {BMX_TYPED_OPS(BMX_TYPED_INFO)};
#undef BMX_TYPED_INFO

/// The entry of `code`, or null when no operation has it.
constexpr const TypedOpInfo* typed_op_info(std::uint64_t code) {
  for (const TypedOpInfo& info : kTypedOps) {
    if (static_cast<std::uint64_t>(info.op) == code) return &info;
  }
  return nullptr;
}

/// The entry of `op`.
constexpr const TypedOpInfo& typed_info(TypedOp op) { return *typed_op_info(static_cast<std::uint64_t>(op)); }

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
