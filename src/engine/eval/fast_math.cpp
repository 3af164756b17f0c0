#include "fast_math.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <type_traits>

#include "../fastmath/fast_kernel_body.h"
#include "../fastmath/fast_kernels.h"
#include "../isa/isa_level.h"
#include "operators.h"

namespace bmx {

namespace {

template <class Element>
struct One {
  using T = Element;
  using V = Element;
  static constexpr std::size_t kWidth = 1;
  static V load(const T* p) { return *p; }
  static void store(T* p, V v) { *p = v; }
};

// The level is read at every call, not when the program is compiled, so that
// a program compiled before a level is forced runs at the forced level.
template <class T, SleefFunction function>
void apply(void* out, const void* left, const void* right, std::size_t n) {
  constexpr bool kF64 = std::is_same_v<T, double>;
  const SleefEntry& entry = (*sleef_functions())[static_cast<std::size_t>(function)];
  const auto& forms = kF64 ? entry.f64 : entry.f32;
  const void* const second = sleef_binary(function) ? right : nullptr;
  const SleefAny scalar = forms[static_cast<std::size_t>(SleefWidth::Scalar)];
  switch (active_isa()) {
    case IsaLevel::Avx512:
      fast_kernel<T, 64>(forms[static_cast<std::size_t>(SleefWidth::Avx512)], scalar, out, left, second, n);
      break;
    case IsaLevel::Avx2:
      fast_kernel<T, 32>(forms[static_cast<std::size_t>(SleefWidth::Avx2)], scalar, out, left, second, n);
      break;
    case IsaLevel::Baseline: apply_sleef<One<T>>(scalar, scalar, out, left, second, n); break;
  }
}

// The float64 operator whose kernel `function` is: where the library's
// answer is mended, an element is computed again by the operator's own
// formula in x87's long double, 11 bits wider than float64, and rounded once.
template <SleefFunction function>
constexpr Float64Op kOperator = std::ranges::find(kTypedOps, std::optional(function), &TypedOpInfo::sleef)->float64;

// Where a function's answers are mended for T (0 for never): below
// self_below the operand is the answer, beyond wide_beyond long double
// computes it.
template <class T>
struct Thresholds {
  T self_below;
  T wide_beyond;
};

template <class T, SleefFunction function>
constexpr Thresholds<T> kThresholds = [] {
  const SleefInfo& info = sleef_info(function);
  if constexpr (std::is_same_v<T, double>) return Thresholds<T>{info.self_below_f64, info.wide_beyond_f64};
  return Thresholds<T>{info.self_below_f32, info.wide_beyond_f32};
}();

template <class T, SleefFunction function>
constexpr bool kMended = sleef_info(function).mend != SleefMend::Plain || kThresholds<T, function>.self_below != 0 ||
                         kThresholds<T, function>.wide_beyond != 0;

// `operands` are the first operands, `seconds` the second ones of a function
// of two (null for a function of one).
template <class T, SleefFunction function>
void mend(T* out, const T* operands, const T* seconds, std::size_t n) {
  constexpr SleefInfo kInfo = sleef_info(function);
  // Each pass stores every element, chosen without a branch, so that it
  // vectorises; the long double passes run only where an element needs them.
  if constexpr (kInfo.mend == SleefMend::OverflowsEarly) {
    // The library's pow overflows a few thousand ulps below the largest
    // finite result (x ** 1.0 of the largest float64 is infinity): an
    // infinity from finite operands is computed again, which overflows only
    // where the rounded result does, and keeps C99's infinities of a zero base.
    bool overflowed = false;
    for (std::size_t k = 0; k < n; ++k) overflowed |= std::isinf(out[k]);
    for (std::size_t k = 0; overflowed && k < n; ++k) {
      if (std::isinf(out[k]) && std::isfinite(operands[k]) && std::isfinite(seconds[k])) {
        out[k] = static_cast<T>(binary_value<*kOperator<function>.binary, long double>(operands[k], seconds[k]));
      }
    }
  }
  // Below this magnitude f(x) = x + O(x^2) (expm1, log1p) or x + O(x^3)
  // rounds to x itself, and the library's last step may land one ulp beyond
  // it, a hair over 1 ulp from the exact value; the operand is the answer.
  constexpr T kSelf = kThresholds<T, function>.self_below;
  if constexpr (kSelf != 0) {
    for (std::size_t k = 0; k < n; ++k) out[k] = std::fabs(operands[k]) < kSelf ? operands[k] : out[k];
  }
  if constexpr (kInfo.mend == SleefMend::NegativeIsNan) {
    // The library's AVX-512 logarithms give a NaN of another sign for
    // negative operands than its other widths: these take the NaN x86's
    // invalid operations give, as the platform's libm does.
    constexpr T kNan = -std::numeric_limits<T>::quiet_NaN();
    for (std::size_t k = 0; k < n; ++k) out[k] = operands[k] < 0 ? kNan : out[k];
  }
  // Beyond this magnitude, well inside the range the library gets right, it
  // is wrong: its sinh and cosh overflow before the result does (from
  // log(DBL_MAX), not log(2 DBL_MAX)), its asinh and acosh overflow while
  // squaring large operands, and its log1p gives infinity above 1e307
  // (float32: 1e38), where it forms 1 + x.
  constexpr T kWide = kThresholds<T, function>.wide_beyond;
  if constexpr (kWide != 0) {
    bool beyond = false;
    for (std::size_t k = 0; k < n; ++k) beyond |= std::fabs(operands[k]) > kWide;
    for (std::size_t k = 0; beyond && k < n; ++k) {
      if (std::fabs(operands[k]) > kWide) {
        out[k] = static_cast<T>(unary_value<*kOperator<function>.unary, long double>(operands[k]));
      }
    }
  }
}

template <class T, SleefFunction function>
bool fast_loop(void* out, const void* left, const void* right, std::size_t n) {
  const auto* const x = static_cast<const T*>(left);
  const auto* const y = sleef_binary(function) ? static_cast<const T*>(right) : nullptr;
  auto* const target = static_cast<T*>(out);
  if constexpr (!kMended<T, function>) {
    apply<T, function>(out, left, right, n);
  } else if (target != x && target != y) {
    apply<T, function>(out, x, y, n);
    mend<T, function>(target, x, y, n);
  } else {
    // Written where it is read: the operands are kept a piece at a time.
    constexpr std::size_t kPiece = 256;
    std::array<T, kPiece> firsts;
    std::array<T, kPiece> seconds;
    for (std::size_t start = 0; start < n; start += kPiece) {
      const std::size_t length = std::min(kPiece, n - start);
      std::copy_n(x + start, length, firsts.begin());
      if (y != nullptr) std::copy_n(y + start, length, seconds.begin());
      const T* const second = y != nullptr ? seconds.data() : nullptr;
      apply<T, function>(target + start, firsts.data(), second, length);
      mend<T, function>(target + start, firsts.data(), second, length);
    }
  }
  return true;
}

template <class T, std::size_t... index>
TypedLoop loop_for(SleefFunction function, std::index_sequence<index...>) {
  static constexpr TypedLoop kLoops[] = {&fast_loop<T, static_cast<SleefFunction>(index)>...};
  return kLoops[static_cast<std::size_t>(function)];
}

}  // namespace

std::string_view math_mode_name(MathMode mode) { return mode == MathMode::Fast ? "fast" : "libm"; }

std::string fast_math_missing() {
  if (supported_isa() < IsaLevel::Avx2) return "fast math needs a processor with AVX2 and FMA, which this one lacks";
  return sleef_missing();
}

bool has_fast_loop(TypedOp op, ElementType type) {
  return typed_info(op).sleef.has_value() && (type == ElementType::Float64 || type == ElementType::Float32);
}

TypedLoop find_fast_loop(TypedOp op, ElementType type) {
  const std::optional<SleefFunction> function = typed_info(op).sleef;
  if (!has_fast_loop(op, type) || sleef_functions() == nullptr || supported_isa() < IsaLevel::Avx2) return nullptr;
  const auto all = std::make_index_sequence<kSleefFunctionCount>();
  if (type == ElementType::Float64) return loop_for<double>(*function, all);
  if (type == ElementType::Float32) return loop_for<float>(*function, all);
  return nullptr;
}

}  // namespace bmx
