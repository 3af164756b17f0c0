#include "fast_math.h"

#include <optional>
#include <type_traits>

#include "../fastmath/fast_kernel_body.h"
#include "../fastmath/fast_kernels.h"
#include "../isa/isa_level.h"

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

std::optional<SleefFunction> sleef_of(TypedOp op) {
  using enum TypedOp;
  switch (op) {
    case Exp: return SleefFunction::Exp;
    case Expm1: return SleefFunction::Expm1;
    case Log: return SleefFunction::Log;
    case Log1p: return SleefFunction::Log1p;
    case Log2: return SleefFunction::Log2;
    case Log10: return SleefFunction::Log10;
    case Sin: return SleefFunction::Sin;
    case Cos: return SleefFunction::Cos;
    case Tan: return SleefFunction::Tan;
    case Arcsin: return SleefFunction::Asin;
    case Arccos: return SleefFunction::Acos;
    case Arctan: return SleefFunction::Atan;
    case Sinh: return SleefFunction::Sinh;
    case Cosh: return SleefFunction::Cosh;
    case Tanh: return SleefFunction::Tanh;
    case Arcsinh: return SleefFunction::Asinh;
    case Arccosh: return SleefFunction::Acosh;
    case Arctanh: return SleefFunction::Atanh;
    case Arctan2: return SleefFunction::Atan2;
    case Power: return SleefFunction::Pow;
    case Hypot: return SleefFunction::Hypot;
    default: return std::nullopt;
  }
}

// The level is read at every call, not when the program is compiled, so that
// a program compiled before a level is forced runs at the forced level.
template <class T, SleefFunction function>
bool fast_loop(void* out, const void* left, const void* right, std::size_t n) {
  constexpr bool kF64 = std::is_same_v<T, double>;
  const SleefEntry& entry = (*sleef_functions())[static_cast<std::size_t>(function)];
  const auto& forms = kF64 ? entry.f64 : entry.f32;
  const void* const second = sleef_binary(function) ? right : nullptr;
  const SleefAny scalar = forms[static_cast<std::size_t>(SleefWidth::Scalar)];
  switch (active_isa()) {
    case IsaLevel::Avx512:
      (kF64 ? fast_f64_avx512 : fast_f32_avx512)(forms[static_cast<std::size_t>(SleefWidth::Avx512)], scalar, out,
                                                 left, second, n);
      break;
    case IsaLevel::Avx2:
      (kF64 ? fast_f64_avx2 : fast_f32_avx2)(forms[static_cast<std::size_t>(SleefWidth::Avx2)], scalar, out, left,
                                             second, n);
      break;
    case IsaLevel::Baseline: apply_sleef<One<T>>(scalar, scalar, out, left, second, n); break;
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

TypedLoop find_fast_loop(TypedOp op, ElementType type) {
  const std::optional<SleefFunction> function = sleef_of(op);
  if (!function || sleef_functions() == nullptr || supported_isa() < IsaLevel::Avx2) return nullptr;
  const auto all = std::make_index_sequence<kSleefFunctionCount>();
  if (type == ElementType::Float64) return loop_for<double>(*function, all);
  if (type == ElementType::Float32) return loop_for<float>(*function, all);
  return nullptr;
}

}  // namespace bmx
