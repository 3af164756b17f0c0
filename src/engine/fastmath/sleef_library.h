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

#include "../expr/functions.h"

namespace bmx {

/// How fast math mends a function's answers (fast_math.cpp says why each
/// is needed): not beyond its thresholds, a NaN of x86's sign for negative
/// operands, or long double where a finite result overflowed.
enum class SleefMend : std::uint8_t { Plain, NegativeIsNan, OverflowsEarly };

/// The rows of the function table with a SLEEF kernel, as Y(name, arity,
/// accuracy, mend, thresholds...): the float64 operator's name, whose lower
/// case is the library's, its operands, the accuracy its symbol names, the
/// mend, then where fast math mends its answers: the magnitude below which
/// the operand is the answer and that beyond which long double computes it
/// (float64, float32; 0 or left out for never). Every function is within
/// 1 ulp (hypot 0.5 ulp).
#define BMX_SLEEF_FUNCTIONS(Y) BMX_FUNCTIONS(BMX_SLEEF_ROW, Y)
#define BMX_SLEEF_ROW(Y, typed, name, code, numpy, arity, rule, families, levels, float32, kind, op, op_code, sleef, \
                      cost, fast)                                                                                  \
  BMX_SLEEF_KEEP(BMX_SLEEF_HAS_##sleef, Y, op, arity, BMX_SLEEF_COLUMNS_##sleef)
#define BMX_SLEEF_KEEP(keep, Y, ...) keep(Y(__VA_ARGS__))
#define BMX_SLEEF_HAS_None BMX_SLEEF_DROP
#define BMX_SLEEF_HAS_Sleef(...) BMX_SLEEF_CALL
#define BMX_SLEEF_COLUMNS_Sleef(...) __VA_ARGS__
#define BMX_SLEEF_DROP(...)
#define BMX_SLEEF_CALL(...) __VA_ARGS__

#define BMX_SLEEF_ENUMERATOR(name, ...) name,
enum class SleefFunction : std::uint8_t { BMX_SLEEF_FUNCTIONS(BMX_SLEEF_ENUMERATOR) };
#undef BMX_SLEEF_ENUMERATOR

/// A function's facts, by SleefFunction.
struct SleefInfo {
  std::string_view name;
  int arity;
  std::string_view accuracy;
  SleefMend mend;
  double self_below_f64 = 0;
  float self_below_f32 = 0;
  double wide_beyond_f64 = 0;
  float wide_beyond_f32 = 0;
};

#define BMX_SLEEF_INFO(name, arity, accuracy, mend, ...) \
  SleefInfo{#name, arity, #accuracy, SleefMend::mend, __VA_ARGS__},
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
