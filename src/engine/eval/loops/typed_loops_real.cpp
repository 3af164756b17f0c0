// The loops over float32 and float64. float64 takes the float64 engine's
// operators; float32 computes each element in float64 and rounds it once, or
// in float32 itself where its row says so (Float32Rule).
#include <algorithm>
#include <cmath>
#include <type_traits>

#include "level_parts.h"
#include "typed_loop_impl.h"

namespace bmx::typed {
BMX_ISA_BEGIN

template <TypedOp op, Real T>
  requires(has_family(op, Family::Real))
struct Apply<op, T> {
  static constexpr auto value(T l, T r, bool&) {
    using enum TypedOp;
    if constexpr (is_comparison(op)) {
      return compare<op>(l, r);
    } else if constexpr (typed_info(op).rule == ResultRule::Bool) {
      // The float64 predicates give 1.0 or 0.0; float32 widens exactly.
      return real_function<op>(l) != 0.0;
    } else if constexpr (op == Conjugate) {
      return l;
    } else if constexpr (op == Negative) {
      return static_cast<T>(-l);
    } else if constexpr (typed_info(op).float64.unary.has_value()) {
      return static_cast<T>(real_function<op>(l));
    } else if constexpr (typed_info(op).float32 != Float32Rule::Rounded) {
      return real_binary<op>(l, r);
    } else {
      return static_cast<T>(real_binary<op>(static_cast<double>(l), static_cast<double>(r)));
    }
  }
};

// std::sqrt keeps a branch per element to set errno, which stops the loop
// from vectorising; sqrt_loop has none.
template <Real T>
bool sqrt_typed_loop(void* out, const void* in, const void*, std::size_t n) {
  sqrt_loop(static_cast<T*>(out), static_cast<const T*>(in), n);
  return true;
}

// Floored division and remainder call fmod per element; floored_loop finds
// fmod without it, vectorised, where the quotient is small.
template <TypedOp op, Real T>
bool floored_typed_loop(void* out, const void* left, const void* right, std::size_t n) {
  floored_loop<*typed_info(op).float64.binary, T, FlooredShape::Both>(
      static_cast<T*>(out), static_cast<const T*>(left), static_cast<const T*>(right), n);
  return true;
}

// A float64 power by one integral or half-integral exponent throughout (a
// constant, repeated into its block) is pow's bits without a call per element.
bool power_float64_loop(void* out, const void* left, const void* right, std::size_t n) {
  const auto* const exponent = static_cast<const double*>(right);
  const auto same = [exponent](double e) { return e == exponent[0]; };
  if (n != 0 && is_exact_power(exponent[0]) && std::all_of(exponent, exponent + n, same)) {
    exact_power_loop(static_cast<double*>(out), static_cast<const double*>(left), exponent[0], n);
    return true;
  }
  return typed_loop<TypedOp::Power, double>(out, left, right, n);
}

/// The loop of `op` over T, with the square root, the floored operations and
/// float64's power on loops of their own.
template <Real T>
TypedLoop real_loop_of(TypedOp op) {
  switch (op) {
    case TypedOp::Sqrt: return &sqrt_typed_loop<T>;
    case TypedOp::FloorDivide: return &floored_typed_loop<TypedOp::FloorDivide, T>;
    case TypedOp::Remainder: return &floored_typed_loop<TypedOp::Remainder, T>;
    case TypedOp::Power:
      if constexpr (std::is_same_v<T, double>) return &power_float64_loop;
      return loop_of<T>(op);
    default: return loop_of<T>(op);
  }
}

TypedLoop real_loop_for(TypedOp op, ElementType type) {
  switch (type) {
    case ElementType::Float32: return real_loop_of<float>(op);
    case ElementType::Float64: return real_loop_of<double>(op);
    default: return nullptr;
  }
}

BMX_ISA_END
}  // namespace bmx::typed
