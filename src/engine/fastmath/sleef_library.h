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
#include <string>

namespace bmx {

/// The functions taken from the library; each within 1 ulp (hypot 0.5 ulp).
enum class SleefFunction : std::uint8_t {
  Exp, Expm1, Log, Log1p, Log2, Log10, Sin, Cos, Tan, Asin, Acos, Atan,
  Sinh, Cosh, Tanh, Asinh, Acosh, Atanh, Atan2, Pow, Hypot,
};  // fmt: skip
inline constexpr std::size_t kSleefFunctionCount = 21;

/// Whether a function takes two operands.
constexpr bool sleef_binary(SleefFunction function) {
  return function == SleefFunction::Atan2 || function == SleefFunction::Pow || function == SleefFunction::Hypot;
}

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
