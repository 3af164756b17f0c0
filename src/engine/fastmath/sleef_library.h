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

/// The functions taken from the library, each within 1 ulp (hypot 0.5 ulp):
/// enumerator, the library's name, operands, and the accuracy its symbol names.
#define BMX_SLEEF_FUNCTIONS(X) \
  X(Exp, "exp", 1, "u10")      \
  X(Expm1, "expm1", 1, "u10")  \
  X(Log, "log", 1, "u10")      \
  X(Log1p, "log1p", 1, "u10")  \
  X(Log2, "log2", 1, "u10")    \
  X(Log10, "log10", 1, "u10")  \
  X(Sin, "sin", 1, "u10")      \
  X(Cos, "cos", 1, "u10")      \
  X(Tan, "tan", 1, "u10")      \
  X(Asin, "asin", 1, "u10")    \
  X(Acos, "acos", 1, "u10")    \
  X(Atan, "atan", 1, "u10")    \
  X(Sinh, "sinh", 1, "u10")    \
  X(Cosh, "cosh", 1, "u10")    \
  X(Tanh, "tanh", 1, "u10")    \
  X(Asinh, "asinh", 1, "u10")  \
  X(Acosh, "acosh", 1, "u10")  \
  X(Atanh, "atanh", 1, "u10")  \
  X(Atan2, "atan2", 2, "u10")  \
  X(Pow, "pow", 2, "u10")      \
  X(Hypot, "hypot", 2, "u05")

#define BMX_SLEEF_ENUMERATOR(name, text, arity, accuracy) name,
enum class SleefFunction : std::uint8_t { BMX_SLEEF_FUNCTIONS(BMX_SLEEF_ENUMERATOR) };
#undef BMX_SLEEF_ENUMERATOR

/// A function's facts, by SleefFunction.
struct SleefInfo {
  std::string_view name;
  int arity;
  std::string_view accuracy;
};

#define BMX_SLEEF_INFO(name, text, arity, accuracy) {text, arity, accuracy},
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
