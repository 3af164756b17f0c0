// The loops over complex64 and complex128. Both compute with the C++
// library's complex functions in double precision, complex64 rounding each
// part once; + - * follow the textbook formulas as NumPy's loops do.
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>

#include "level_parts.h"
#include "typed_loop_impl.h"

namespace bmx::typed {
BMX_ISA_BEGIN

namespace {

using Z = std::complex<double>;

/// The textbook product, as NumPy's loops compute it.
template <class F>
std::complex<F> multiply(std::complex<F> l, std::complex<F> r) {
  return {l.real() * r.real() - l.imag() * r.imag(), l.real() * r.imag() + l.imag() * r.real()};
}

template <TypedOp op>
Z function(Z z) {
  using enum TypedOp;
  // NumPy's formulas for these two, which keep small results accurate.
  if constexpr (op == Expm1) {
    const double half_sine = std::sin(z.imag() / 2.0);
    return {std::expm1(z.real()) * std::cos(z.imag()) - 2.0 * half_sine * half_sine,
            std::exp(z.real()) * std::sin(z.imag())};
  } else if constexpr (op == Log1p) {
    return {std::log(std::hypot(z.real() + 1.0, z.imag())), std::atan2(z.imag(), z.real() + 1.0)};
  } else if constexpr (op == Log2) {
    return std::log(z) / std::numbers::ln2;
  } else {
    // The library's complex overload of the function the float64 operator calls.
    return unary_value<*typed_info(op).float64.unary, Z>(z);
  }
}

/// NumPy's complex power: exact for the exponents 0, and small integers by
/// repeated squaring, 0 to a power of positive real part is 0 (whatever its
/// imaginary part: |0^z| is 0^Re z), else the library's.
Z power(Z base, Z exponent) {
  if (exponent == Z{}) return {1.0, 0.0};
  if (base == Z{}) {
    if (exponent.real() > 0.0) return {};
    return {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN()};
  }
  const double n = exponent.real();
  if (exponent.imag() == 0.0 && n == std::trunc(n) && std::fabs(n) < 100.0) {
    Z result{1.0, 0.0};
    Z factor = base;
    for (auto bits = static_cast<unsigned>(std::fabs(n)); bits != 0; bits >>= 1) {
      if ((bits & 1U) != 0) result = multiply(result, factor);
      factor = multiply(factor, factor);
    }
    return n < 0.0 ? typed::divide(Z{1.0, 0.0}, result) : result;
  }
  return std::pow(base, exponent);
}

/// NumPy's complex sign: z / |z|, 0 for 0, the sign of an infinite part
/// alone, NaN for NaN parts or two infinite ones.
template <class F>
std::complex<F> sign(std::complex<F> z) {
  const F a = z.real(), b = z.imag();
  constexpr F kNaN = std::numeric_limits<F>::quiet_NaN();
  if (std::isnan(a) || std::isnan(b) || (std::isinf(a) && std::isinf(b))) return {kNaN, kNaN};
  if (std::isinf(a)) return {a > 0 ? F{1} : F{-1}, F{0}};
  if (std::isinf(b)) return {F{0}, b > 0 ? F{1} : F{-1}};
  if (a == 0 && b == 0) return {};
  const F size = std::hypot(a, b);
  return {a / size, b / size};
}

}  // namespace

template <TypedOp op, Complex T>
  requires(has_family(op, Family::Complex))
struct Apply<op, T> {
  using F = typename T::value_type;

  static auto value(T l, T r, bool&) {
    using enum TypedOp;
    const F a = l.real(), b = l.imag(), c = r.real(), d = r.imag();
    if constexpr (is_comparison(op)) {
      return compare<op>(l, r);
    } else if constexpr (op == Isnan) {
      return std::isnan(a) || std::isnan(b);
    } else if constexpr (op == Isinf) {
      return std::isinf(a) || std::isinf(b);
    } else if constexpr (op == Isfinite) {
      return std::isfinite(a) && std::isfinite(b);
    } else if constexpr (op == Real) {
      return a;
    } else if constexpr (op == Imag) {
      return b;
    } else if constexpr (op == FromParts) {
      // The real parts of both, paired: the text's complex(re, im), whose
      // operands arrive as complex values of zero imaginary part.
      return T{a, c};
    } else if constexpr (op == Absolute) {
      return static_cast<F>(std::hypot(static_cast<double>(a), static_cast<double>(b)));
    } else if constexpr (op == Conjugate) {
      return T{a, -b};
    } else if constexpr (op == Negative) {
      return T{-a, -b};
    } else if constexpr (op == Rint) {
      return T{static_cast<F>(unary_value<UnaryOp::RoundEven>(a)), static_cast<F>(unary_value<UnaryOp::RoundEven>(b))};
    } else if constexpr (op == Sign) {
      return sign(l);
    } else if constexpr (op == Add) {
      return T{a + c, b + d};
    } else if constexpr (op == Subtract) {
      return T{a - c, b - d};
    } else if constexpr (op == Multiply) {
      return multiply(l, r);
    } else if constexpr (op == Divide) {
      return divide(l, r);
    } else {
      Z result;
      if constexpr (op == Power) {
        result = power(Z(a, b), Z(c, d));
      } else {
        result = function<op>(Z(a, b));
      }
      return T{static_cast<F>(result.real()), static_cast<F>(result.imag())};
    }
  }
};

TypedLoop complex_loop_for(TypedOp op, ElementType type) {
  return loop_of_any<ElementType::Complex64, ElementType::Complex128>(op, type);
}

BMX_ISA_END
}  // namespace bmx::typed
