// Scalar semantics of the typed operations, NumPy's for each type: integers
// wrap in their own width and never trap (division by zero gives 0, the
// most negative value divided by -1 gives itself), float32 is computed in
// float64 and rounded once (exact for + - * / sqrt, within one unit in the
// last place for the functions of libm), and float64 is the float64 engine's
// own operator, so both engines give the same bits.
#pragma once

#include <bit>
#include <cmath>
#include <complex>
#include <concepts>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "../isa/isa_namespace.h"
#include "operators.h"
#include "typed_ops.h"

namespace bmx::typed {
BMX_ISA_BEGIN

template <class T>
concept Boolean = std::same_as<T, bool>;
template <class T>
concept Integer = std::integral<T> && !Boolean<T>;
template <class T>
concept Real = std::same_as<T, float> || std::same_as<T, double>;
template <class T>
concept Complex = std::same_as<T, std::complex<float>> || std::same_as<T, std::complex<double>>;

/// The unsigned type integer arithmetic wraps in: at least 32 bits, so that
/// the promotions of narrow types never reach a signed overflow.
template <Integer T>
using Wrap = std::conditional_t<(sizeof(T) < 4), std::uint32_t, std::make_unsigned_t<T>>;

template <Integer T>
constexpr T floor_divide(T l, T r) {
  if (r == 0) return 0;
  if constexpr (std::is_signed_v<T>) {
    if (l == std::numeric_limits<T>::min() && r == -1) return l;
    const T quotient = static_cast<T>(l / r);
    return (l % r != 0 && (l < 0) != (r < 0)) ? static_cast<T>(quotient - 1) : quotient;
  } else {
    return static_cast<T>(l / r);
  }
}

template <Integer T>
constexpr T remainder(T l, T r) {
  if (r == 0) return 0;
  if constexpr (std::is_signed_v<T>) {
    if (r == -1) return 0;
    const T rest = static_cast<T>(l % r);
    return (rest != 0 && (rest < 0) != (r < 0)) ? static_cast<T>(rest + r) : rest;
  } else {
    return static_cast<T>(l % r);
  }
}

/// C's truncated remainder, as NumPy's fmod of integers: 0 for a divisor of
/// 0, and for -1, whose quotient of the least value overflows.
template <Integer T>
constexpr T truncated_remainder(T l, T r) {
  if (r == 0) return 0;
  if constexpr (std::is_signed_v<T>) {
    if (r == -1) return 0;
  }
  return static_cast<T>(l % r);
}

/// l to the power r by squaring, wrapping; a negative r is no value at all
/// (NumPy refuses it), reported through `ok`.
template <Integer T>
constexpr T power(T l, T r, bool& ok) {
  if constexpr (std::is_signed_v<T>) {
    if (r < 0) {
      ok = false;
      return 0;
    }
  }
  Wrap<T> base = static_cast<Wrap<T>>(l);
  Wrap<T> result = 1;
  for (auto exponent = static_cast<std::make_unsigned_t<T>>(r); exponent != 0; exponent >>= 1) {
    if ((exponent & 1U) != 0) result = static_cast<Wrap<T>>(result * base);
    base = static_cast<Wrap<T>>(base * base);
  }
  return static_cast<T>(result);
}

/// NumPy's shifts: a shift by the width or more (or by a negative amount)
/// gives 0, or -1 for a negative value shifted right.
template <Integer T>
constexpr T left_shift(T l, T r) {
  constexpr auto kBits = static_cast<std::make_unsigned_t<T>>(sizeof(T) * 8);
  if (static_cast<std::make_unsigned_t<T>>(r) >= kBits) return 0;
  return static_cast<T>(static_cast<Wrap<T>>(l) << r);
}

template <Integer T>
constexpr T right_shift(T l, T r) {
  constexpr auto kBits = static_cast<std::make_unsigned_t<T>>(sizeof(T) * 8);
  if (static_cast<std::make_unsigned_t<T>>(r) >= kBits) return l < 0 ? static_cast<T>(-1) : T{0};
  return static_cast<T>(l >> r);
}

/// NumPy's complex division: Smith's method, scaled by the larger part of
/// the divisor.
template <class F>
std::complex<F> divide(std::complex<F> l, std::complex<F> r) {
  const F a = l.real(), b = l.imag(), c = r.real(), d = r.imag();
  const F abs_c = std::fabs(c), abs_d = std::fabs(d);
  if (abs_c >= abs_d) {
    if (abs_c == 0 && abs_d == 0) return {a / abs_c, b / abs_d};
    const F ratio = d / c;
    const F scale = F{1} / (c + d * ratio);
    return {(a + b * ratio) * scale, (b - a * ratio) * scale};
  }
  const F ratio = c / d;
  const F scale = F{1} / (c * ratio + d);
  return {(a * ratio + b) * scale, (b * ratio - a) * scale};
}

/// Complex values order by their real parts, then their imaginary parts, as
/// NumPy orders them; a NaN part makes a comparison false.
template <class F>
constexpr bool less(std::complex<F> l, std::complex<F> r) {
  const F a = l.real(), b = l.imag(), c = r.real(), d = r.imag();
  return (a < c && b == b && d == d) || (a == c && b < d);
}

template <class F>
constexpr bool less_equal(std::complex<F> l, std::complex<F> r) {
  const F a = l.real(), b = l.imag(), c = r.real(), d = r.imag();
  return (a < c && b == b && d == d) || (a == c && b <= d);
}

/// The float64 engine's operator of a unary `op`: the float64 loop, and the
/// one float32 is computed with.
template <TypedOp op>
double real_function(double x) {
  return unary_value<*typed_info(op).float64.unary>(x);
}

/// The float64 engine's operator of a binary `op`, over float64 or, where
/// float32 is computed in float32 (Float32Rule::Exact, Libm), float32.
template <TypedOp op, class F>
F real_binary(F l, F r) {
  return binary_value<*typed_info(op).float64.binary>(l, r);
}

template <TypedOp op, class T>
constexpr bool compare(T l, T r) {
  using enum TypedOp;
  if constexpr (Complex<T>) {
    if constexpr (op == Greater) return less(r, l);
    if constexpr (op == GreaterEqual) return less_equal(r, l);
    if constexpr (op == Less) return less(l, r);
    if constexpr (op == LessEqual) return less_equal(l, r);
  } else {
    if constexpr (op == Greater) return l > r;
    if constexpr (op == GreaterEqual) return l >= r;
    if constexpr (op == Less) return l < r;
    if constexpr (op == LessEqual) return l <= r;
  }
  if constexpr (op == Equal) return l == r;
  if constexpr (op == NotEqual) return l != r;
}

BMX_ISA_END
}  // namespace bmx::typed
