// The operations of typed evaluation, named after the NumPy functions whose
// loops they are: the package asks NumPy which loop (operand types) a call
// takes and the engine runs the loop of that name and type. Each entry gives
// its code explicitly; the order of the list carries no meaning.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

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
/// float64, rounded once, or in float32 itself, which gives the same bits
/// for the correctly rounded operations and those that pick an operand.
enum class Float32Rule : std::uint8_t { Rounded, Exact };

/// The float64 engine's operator an operation's float64 loop computes with,
/// unary or binary; neither for the operations it lacks.
struct Float64Op {
  std::optional<UnaryOp> unary;
  std::optional<BinaryOp> binary;
};

/// The type families an operation has loops of, as letters of its families
/// column, in this order.
enum class Family : char { Bool = 'b', Integer = 'i', Real = 'r', Complex = 'c' };

/// The names the table's last two columns use: the float64 operators and the
/// SLEEF kernels, each with `None`.
namespace float64_op {
#define BMX_FLOAT64_UNARY(name, code) inline constexpr Float64Op name{UnaryOp::name, std::nullopt};
#define BMX_FLOAT64_BINARY(name, code) inline constexpr Float64Op name{std::nullopt, BinaryOp::name};
BMX_UNARY_OPS(BMX_FLOAT64_UNARY)
BMX_BINARY_OPS(BMX_FLOAT64_BINARY)
#undef BMX_FLOAT64_UNARY
#undef BMX_FLOAT64_BINARY
inline constexpr Float64Op None{};
}  // namespace float64_op

namespace sleef_kernel {
#define BMX_SLEEF_KERNEL(name, text, arity, accuracy, ...) \
  inline constexpr std::optional<SleefFunction> name = SleefFunction::name;
BMX_SLEEF_FUNCTIONS(BMX_SLEEF_KERNEL)
#undef BMX_SLEEF_KERNEL
inline constexpr std::optional<SleefFunction> None = std::nullopt;
}  // namespace sleef_kernel

/// The engine's function table, one row per operation: enumerator, code,
/// NumPy's name, operands, result rule, type families (b bool, i integers,
/// r float32 and float64, c complex64 and complex128), the levels that build
/// its loops, how float32 computes it, the float64 engine's operator its
/// float64 loop is, and the SLEEF kernel fast math computes its float32 and
/// float64 loops with. Beside its row, an operation is written once per type
/// family it has, as that family's scalar body.
#define BMX_TYPED_OPS(X)                                                               \
  X(Negative, 0, "negative", 1, Same, "irc", All, Rounded, Neg, None)                  \
  X(Absolute, 1, "absolute", 1, Real, "birc", All, Rounded, Abs, None)                 \
  X(Sqrt, 2, "sqrt", 1, Same, "rc", All, Rounded, Sqrt, None)                          \
  X(Exp, 3, "exp", 1, Same, "rc", Baseline, Rounded, Exp, Exp)                         \
  X(Expm1, 4, "expm1", 1, Same, "rc", Baseline, Rounded, Expm1, Expm1)                 \
  X(Log, 5, "log", 1, Same, "rc", Baseline, Rounded, Log, Log)                         \
  X(Log1p, 6, "log1p", 1, Same, "rc", Baseline, Rounded, Log1p, Log1p)                 \
  X(Log2, 7, "log2", 1, Same, "rc", Baseline, Rounded, Log2, Log2)                     \
  X(Log10, 8, "log10", 1, Same, "rc", Baseline, Rounded, Log10, Log10)                 \
  X(Sin, 9, "sin", 1, Same, "rc", Baseline, Rounded, Sin, Sin)                         \
  X(Cos, 10, "cos", 1, Same, "rc", Baseline, Rounded, Cos, Cos)                        \
  X(Tan, 11, "tan", 1, Same, "rc", Baseline, Rounded, Tan, Tan)                        \
  X(Arcsin, 12, "arcsin", 1, Same, "rc", Baseline, Rounded, Asin, Asin)                \
  X(Arccos, 13, "arccos", 1, Same, "rc", Baseline, Rounded, Acos, Acos)                \
  X(Arctan, 14, "arctan", 1, Same, "rc", Baseline, Rounded, Atan, Atan)                \
  X(Sinh, 15, "sinh", 1, Same, "rc", Baseline, Rounded, Sinh, Sinh)                    \
  X(Cosh, 16, "cosh", 1, Same, "rc", Baseline, Rounded, Cosh, Cosh)                    \
  X(Tanh, 17, "tanh", 1, Same, "rc", Baseline, Rounded, Tanh, Tanh)                    \
  X(Arcsinh, 18, "arcsinh", 1, Same, "rc", Baseline, Rounded, Asinh, Asinh)            \
  X(Arccosh, 19, "arccosh", 1, Same, "rc", Baseline, Rounded, Acosh, Acosh)            \
  X(Arctanh, 20, "arctanh", 1, Same, "rc", Baseline, Rounded, Atanh, Atanh)            \
  X(Floor, 21, "floor", 1, Same, "bir", Baseline, Rounded, Floor, None)                \
  X(Ceil, 22, "ceil", 1, Same, "bir", Baseline, Rounded, Ceil, None)                   \
  X(Trunc, 23, "trunc", 1, Same, "bir", All, Rounded, Trunc, None)                     \
  X(Rint, 24, "rint", 1, Same, "birc", All, Rounded, RoundEven, None)                  \
  X(Sign, 25, "sign", 1, Same, "irc", All, Rounded, Sign, None)                        \
  X(Signbit, 26, "signbit", 1, Bool, "r", All, Rounded, Signbit, None)                 \
  X(Isnan, 27, "isnan", 1, Bool, "birc", All, Rounded, IsNan, None)                    \
  X(Isinf, 28, "isinf", 1, Bool, "birc", All, Rounded, IsInf, None)                    \
  X(Isfinite, 29, "isfinite", 1, Bool, "birc", All, Rounded, IsFinite, None)           \
  X(Invert, 30, "invert", 1, Same, "bi", All, Rounded, None, None)                     \
  X(Real, 31, "real", 1, Real, "c", All, Rounded, None, None)                          \
  X(Imag, 32, "imag", 1, Real, "c", All, Rounded, None, None)                          \
  X(Conjugate, 33, "conjugate", 1, Same, "birc", All, Rounded, None, None)             \
  X(Cbrt, 34, "cbrt", 1, Same, "r", Baseline, Rounded, Cbrt, None)                      \
  X(Add, 40, "add", 2, Same, "birc", All, Exact, Add, None)                            \
  X(Subtract, 41, "subtract", 2, Same, "irc", All, Exact, Sub, None)                   \
  X(Multiply, 42, "multiply", 2, Same, "birc", All, Exact, Mul, None)                  \
  X(Divide, 43, "divide", 2, Same, "rc", All, Exact, Div, None)                        \
  X(FloorDivide, 44, "floor_divide", 2, Same, "ir", Baseline, Rounded, FloorDiv, None) \
  X(Remainder, 45, "remainder", 2, Same, "ir", Baseline, Rounded, Mod, None)           \
  X(Power, 46, "power", 2, Same, "irc", Baseline, Rounded, Pow, Pow)                   \
  X(Arctan2, 47, "arctan2", 2, Same, "r", Baseline, Rounded, Atan2, Atan2)             \
  X(Hypot, 48, "hypot", 2, Same, "r", Baseline, Rounded, Hypot, Hypot)                 \
  X(Copysign, 49, "copysign", 2, Same, "r", All, Exact, Copysign, None)                \
  X(Nextafter, 50, "nextafter", 2, Same, "r", Baseline, Rounded, Nextafter, None)      \
  X(Fmod, 51, "fmod", 2, Same, "r", Baseline, Rounded, Fmod, None)                     \
  X(Fmin, 52, "fmin", 2, Same, "bir", All, Exact, Min, None)                           \
  X(Fmax, 53, "fmax", 2, Same, "bir", All, Exact, Max, None)                           \
  X(Minimum, 54, "minimum", 2, Same, "bir", All, Exact, Minimum, None)                 \
  X(Maximum, 55, "maximum", 2, Same, "bir", All, Exact, Maximum, None)                 \
  X(BitwiseAnd, 56, "bitwise_and", 2, Same, "bi", All, Rounded, None, None)            \
  X(BitwiseOr, 57, "bitwise_or", 2, Same, "bi", All, Rounded, None, None)              \
  X(BitwiseXor, 58, "bitwise_xor", 2, Same, "bi", All, Rounded, None, None)            \
  X(LeftShift, 59, "left_shift", 2, Same, "i", All, Rounded, None, None)               \
  X(RightShift, 60, "right_shift", 2, Same, "i", All, Rounded, None, None)             \
  X(Greater, 61, "greater", 2, Bool, "birc", All, Rounded, None, None)                 \
  X(GreaterEqual, 62, "greater_equal", 2, Bool, "birc", All, Rounded, None, None)      \
  X(Less, 63, "less", 2, Bool, "birc", All, Rounded, None, None)                       \
  X(LessEqual, 64, "less_equal", 2, Bool, "birc", All, Rounded, None, None)            \
  X(Equal, 65, "equal", 2, Bool, "birc", All, Rounded, None, None)                     \
  X(NotEqual, 66, "not_equal", 2, Bool, "birc", All, Rounded, None, None)

#define BMX_TYPED_ENUMERATOR(name, code, ...) name = code,
enum class TypedOp : std::uint8_t { BMX_TYPED_OPS(BMX_TYPED_ENUMERATOR) };
#undef BMX_TYPED_ENUMERATOR

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
};

#define BMX_TYPED_INFO(name, code, text, arity, rule, families, levels, float32, float64, sleef)      \
  {TypedOp::name, text, arity, ResultRule::rule, families, Levels::levels, Float32Rule::float32, \
   float64_op::float64, sleef_kernel::sleef},
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

/// Whether `op` has loops over the types of `family`.
constexpr bool has_family(TypedOp op, Family family) {
  return typed_info(op).families.find(static_cast<char>(family)) != std::string_view::npos;
}

/// The comparisons: two operands, a bool result.
constexpr bool is_comparison(TypedOp op) {
  return typed_info(op).arity == 2 && typed_info(op).rule == ResultRule::Bool;
}

// A row that contradicts itself fails the build: families are letters of
// "birc" in that order, a float64 operator and a SLEEF kernel take as many
// operands as the operation, and SLEEF's loops are float32 and float64 ones.
constexpr bool is_consistent(const TypedOpInfo& info) {
  const std::string_view order = "birc";
  std::size_t at = 0;
  for (const char family : info.families) {
    at = order.find(family, at);
    if (at == std::string_view::npos) return false;
    ++at;
  }
  if (info.float64.unary && (info.arity != 1 || info.float64.binary)) return false;
  if (info.float64.binary && info.arity != 2) return false;
  if (info.sleef && (sleef_info(*info.sleef).arity != info.arity || info.families.find('r') == std::string_view::npos)) {
    return false;
  }
  return true;
}
static_assert(std::ranges::all_of(kTypedOps, is_consistent));

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
