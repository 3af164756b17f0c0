// SLEEF, the vectorised math library that fast math calls, loaded when first
// asked for. It is optional: the engine builds and runs without it, and fast
// math then says why it is unavailable. Only the "finz" functions are used:
// their results are the same bits at every vector width, so a loop's vector
// body and its scalar tail agree and every instruction-set level gives the
// same answers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

namespace bmx {

/// How fast math mends a function's answers (fast_math.cpp says why each
/// is needed): not beyond its thresholds, a NaN of x86's sign for negative
/// operands, or long double where a finite result overflowed.
enum class SleefMend : std::uint8_t { Plain, NegativeIsNan, OverflowsEarly };

/// The functions taken from the library, each within 1 ulp (hypot 0.5 ulp):
/// enumerator, the library's name, operands, the accuracy its symbol names;
/// then where fast math mends its answers: the magnitude below which the
/// operand is the answer and that beyond which long double computes it
/// (float64, float32; 0 for never), and the mend of SleefMend.
#define BMX_SLEEF_FUNCTIONS(X)                                              \
  X(Exp, "exp", 1, "u10", 0, 0, 0, 0, Plain)                                \
  X(Expm1, "expm1", 1, "u10", 0x1p-54, 0x1p-25f, 0, 0, Plain)               \
  X(Log, "log", 1, "u10", 0, 0, 0, 0, NegativeIsNan)                        \
  X(Log1p, "log1p", 1, "u10", 0x1p-54, 0x1p-25f, 0x1p1000, 0x1p120f, Plain) \
  X(Log2, "log2", 1, "u10", 0, 0, 0, 0, NegativeIsNan)                      \
  X(Log10, "log10", 1, "u10", 0, 0, 0, 0, NegativeIsNan)                    \
  X(Sin, "sin", 1, "u10", 0x1p-27, 0x1p-13f, 0, 0, Plain)                   \
  X(Cos, "cos", 1, "u10", 0, 0, 0, 0, Plain)                                \
  X(Tan, "tan", 1, "u10", 0x1p-27, 0x1p-13f, 0, 0, Plain)                   \
  X(Asin, "asin", 1, "u10", 0x1p-27, 0x1p-13f, 0, 0, Plain)                 \
  X(Acos, "acos", 1, "u10", 0, 0, 0, 0, Plain)                              \
  X(Atan, "atan", 1, "u10", 0x1p-27, 0x1p-13f, 0, 0, Plain)                 \
  X(Sinh, "sinh", 1, "u10", 0x1p-27, 0x1p-13f, 709.0, 88.0f, Plain)         \
  X(Cosh, "cosh", 1, "u10", 0, 0, 709.0, 88.0f, Plain)                      \
  X(Tanh, "tanh", 1, "u10", 0x1p-27, 0x1p-13f, 0, 0, Plain)                 \
  X(Asinh, "asinh", 1, "u10", 0x1p-27, 0x1p-13f, 0x1p500, 0x1p60f, Plain)   \
  X(Acosh, "acosh", 1, "u10", 0, 0, 0x1p500, 0x1p60f, Plain)                \
  X(Atanh, "atanh", 1, "u10", 0x1p-27, 0x1p-13f, 0, 0, Plain)               \
  X(Atan2, "atan2", 2, "u10", 0, 0, 0, 0, Plain)                            \
  X(Pow, "pow", 2, "u10", 0, 0, 0, 0, OverflowsEarly)                       \
  X(Hypot, "hypot", 2, "u05", 0, 0, 0, 0, Plain)

#define BMX_SLEEF_ENUMERATOR(name, ...) name,
enum class SleefFunction : std::uint8_t { BMX_SLEEF_FUNCTIONS(BMX_SLEEF_ENUMERATOR) };
#undef BMX_SLEEF_ENUMERATOR

/// A function's facts, by SleefFunction.
struct SleefInfo {
  std::string_view name;
  int arity;
  std::string_view accuracy;
  double self_below_f64;
  float self_below_f32;
  double wide_beyond_f64;
  float wide_beyond_f32;
  SleefMend mend;
};

#define BMX_SLEEF_INFO(name, text, arity, accuracy, self64, self32, wide64, wide32, mend) \
  {text, arity, accuracy, self64, self32, wide64, wide32, SleefMend::mend},
inline constexpr SleefInfo kSleefInfos[] = {BMX_SLEEF_FUNCTIONS(BMX_SLEEF_INFO)};
#undef BMX_SLEEF_INFO
inline constexpr std::size_t kSleefFunctionCount = std::size(kSleefInfos);

constexpr const SleefInfo& sleef_info(SleefFunction function) { return kSleefInfos[static_cast<std::size_t>(function)]; }

/// Whether a function takes two operands.
constexpr bool sleef_binary(SleefFunction function) { return sleef_info(function).arity == 2; }

/// The widths each function is taken at: one element (with fused
/// multiply-add), AVX2's registers and AVX-512's.
enum class SleefWidth : std::uint8_t { Scalar, Avx2, Avx512 };

/// Any function of the library; callers convert it back to its own type.
using SleefAny = void (*)();

/// One function at every width, for float64 and float32.
struct SleefEntry {
  std::array<SleefAny, 3> f64;  ///< by SleefWidth
  std::array<SleefAny, 3> f32;
};

/// The library's functions, by SleefFunction; null when the library or one of
/// its functions was not found (see `sleef_missing`). Loaded once per process.
const std::array<SleefEntry, kSleefFunctionCount>* sleef_functions();

/// Why `sleef_functions` is null, with how to get the library; empty when it is not.
const std::string& sleef_missing();

}  // namespace bmx
