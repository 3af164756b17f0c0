// The loops over complex64 and complex128. Both compute with the C++
// library's complex functions in double precision, complex64 rounding each
// part once; + - * follow the textbook formulas as NumPy's loops do.
#include <cmath>
#include <complex>
#include <numbers>

#include "typed_loop_impl.h"

namespace bmx::typed {

namespace {

using Z = std::complex<double>;

template <TypedOp op>
constexpr bool complex_has() {
  using enum TypedOp;
  return op == Negative || op == Absolute || op == Sqrt || op == Exp || op == Expm1 || op == Log || op == Log1p ||
         op == Log2 || op == Log10 || op == Sin || op == Cos || op == Tan || op == Arcsin || op == Arccos ||
         op == Arctan || op == Sinh || op == Cosh || op == Tanh || op == Arcsinh || op == Arccosh || op == Arctanh ||
         op == Isnan || op == Isinf || op == Isfinite || op == Real || op == Imag || op == Conjugate || op == Add ||
         op == Subtract || op == Multiply || op == Divide || op == Power || is_comparison<op>();
}

template <TypedOp op>
Z function(Z z) {
  using enum TypedOp;
  if constexpr (op == Sqrt) return std::sqrt(z);
  if constexpr (op == Exp) return std::exp(z);
  if constexpr (op == Expm1) return std::exp(z) - 1.0;
  if constexpr (op == Log) return std::log(z);
  if constexpr (op == Log1p) return std::log(z + 1.0);
  if constexpr (op == Log2) return std::log(z) / std::numbers::ln2;
  if constexpr (op == Log10) return std::log10(z);
  if constexpr (op == Sin) return std::sin(z);
  if constexpr (op == Cos) return std::cos(z);
  if constexpr (op == Tan) return std::tan(z);
  if constexpr (op == Arcsin) return std::asin(z);
  if constexpr (op == Arccos) return std::acos(z);
  if constexpr (op == Arctan) return std::atan(z);
  if constexpr (op == Sinh) return std::sinh(z);
  if constexpr (op == Cosh) return std::cosh(z);
  if constexpr (op == Tanh) return std::tanh(z);
  if constexpr (op == Arcsinh) return std::asinh(z);
  if constexpr (op == Arccosh) return std::acosh(z);
  if constexpr (op == Arctanh) return std::atanh(z);
}

}  // namespace

template <TypedOp op, Complex T>
  requires(complex_has<op>())
struct Apply<op, T> {
  using F = typename T::value_type;

  static auto value(T l, T r, bool&) {
    using enum TypedOp;
    const F a = l.real(), b = l.imag(), c = r.real(), d = r.imag();
    if constexpr (is_comparison<op>()) {
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
    } else if constexpr (op == Absolute) {
      return static_cast<F>(std::hypot(static_cast<double>(a), static_cast<double>(b)));
    } else if constexpr (op == Conjugate) {
      return T{a, -b};
    } else if constexpr (op == Negative) {
      return T{-a, -b};
    } else if constexpr (op == Add) {
      return T{a + c, b + d};
    } else if constexpr (op == Subtract) {
      return T{a - c, b - d};
    } else if constexpr (op == Multiply) {
      return T{a * c - b * d, a * d + b * c};
    } else if constexpr (op == Divide) {
      return divide(l, r);
    } else {
      Z result;
      if constexpr (op == Power) {
        result = std::pow(Z(a, b), Z(c, d));
      } else {
        result = function<op>(Z(a, b));
      }
      return T{static_cast<F>(result.real()), static_cast<F>(result.imag())};
    }
  }
};

}  // namespace bmx::typed

namespace bmx {

TypedLoop find_complex_loop(TypedOp op, ElementType type) {
  using namespace typed;
  if (type == ElementType::Complex64) return loop_of<std::complex<float>>(op);
  if (type == ElementType::Complex128) return loop_of<std::complex<double>>(op);
  return nullptr;
}

}  // namespace bmx
