// Scalar semantics of every operator, shared by all evaluation engines.
//
// Each operator is one function template instance (`unary_value<op>`, ...), so
// the per-element reference engines and the block loops instantiate the very
// same code; `dispatch_*` turns a run-time operator code into a compile-time
// one for loops that want one instantiation per operator.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <type_traits>

#include "../expr/ops.h"
#include "../internal_failure.h"
#include "../isa/isa_namespace.h"

namespace bmx {
BMX_ISA_BEGIN

inline constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;

/// x rounded to an integer, halves to the even neighbour, without depending on
/// the thread's rounding mode (as rint would): a tie is the only case where
/// rounding half away from zero can be off, and then by one towards zero.
inline double round_half_even(double x) {
  const double away = std::round(x);
  if (std::fabs(away - x) != 0.5 || std::fmod(away, 2.0) == 0.0) return away;
  return std::copysign(away - std::copysign(1.0, x), x);
}

/// The cube root within one unit in the last place (libm's may be three
/// off): one Newton step from libm's root in long double, whose error is far
/// below the double's half unit, then rounded once. Zeros, infinities and NaN
/// are libm's, which keeps their signs.
inline double cube_root(double x) {
  const double root = std::cbrt(x);
  if (x == 0.0 || !std::isfinite(x)) return root;
  const long double y = root;
  const long double corrected = y - (y * y * y - static_cast<long double>(x)) / (3.0L * y * y);
  return static_cast<double>(corrected);
}

// The floored division and remainder compute every value before choosing
// among them by bits, so that their loops vectorise: the compiler keeps a
// rounding operation that only one arm of a choice needs in a branch (it
// could raise a flag), and a loop with a branch does not vectorise.

/// `condition ? yes : no`, both computed.
template <class F>
[[gnu::always_inline]] inline F choose(bool condition, F yes, F no) {
  using Bits = std::conditional_t<sizeof(F) == 8, std::uint64_t, std::uint32_t>;
  const Bits mask = Bits{0} - Bits{condition};
  return std::bit_cast<F>((std::bit_cast<Bits>(yes) & mask) | (std::bit_cast<Bits>(no) & ~mask));
}

/// Where F has no fraction: at and beyond this magnitude every value is an integer.
template <class F>
inline constexpr F kIntegral = sizeof(F) == 8 ? 0x1p52 : 0x1p23f;

/// x rounded to a nearest integer, for |x| below `kIntegral` (else
/// meaningless): adding and removing kIntegral leaves no fraction. A few
/// additions, which vectorise where trunc and floor do not.
template <class F>
[[gnu::always_inline]] inline F nearest_small(F x) {
  return std::copysign((std::fabs(x) + kIntegral<F>) - kIntegral<F>, x);
}

/// floor(x) for an x that is never a signalling NaN (floor is libm's, which
/// quietens one: see the build): NaN, infinities and integers beyond
/// `kIntegral` are themselves.
template <class F>
[[gnu::always_inline]] inline F floor_of_quiet(F x) {
  const F nearest = nearest_small(x);
  const F below = nearest - choose(nearest > x, F{1}, F{0});
  return choose(std::fabs(x) < kIntegral<F>, below, x);
}

/// The remainder of l / r with the sign of r (Python's and NumPy's `%`) from
/// `mod`, fmod's exact remainder of l / r: moved by r when the signs differ;
/// a zero remainder takes r's sign. r == 0, an infinite l or a NaN gives NaN.
/// float32 computes it in float32, as NumPy does: the move by r rounds.
template <class F>
[[gnu::always_inline]] inline F mod_from_fmod(F r, F mod) {
  const F zero = std::copysign(F{0}, r);
  return choose(mod == F{0}, zero, choose((r < F{0}) != (mod < F{0}), mod + r, mod));
}

template <class F>
F floored_mod(F l, F r) {
  return mod_from_fmod(r, std::fmod(l, r));
}

/// floor(l / r) for NumPy's `//`, consistent with `floored_mod`, from `mod`,
/// fmod's exact remainder: l - mod is an exact multiple of r, so its quotient
/// is an integer up to rounding and is rounded to the nearest one (its floor
/// could lose one to a quotient just below). A zero result takes the sign of
/// l / r; r == 0 gives l / r itself. float32 computes it in float32, as NumPy
/// does: a quotient beyond 2**24 rounds in float32's steps.
template <class F>
[[gnu::always_inline]] inline F div_from_fmod(F l, F r, F mod) {
  const F exact = l / r;
  const bool moved = (mod != F{0}) & ((r < F{0}) != (mod < F{0}));
  const F quotient = (l - mod) / r - choose(moved, F{1}, F{0});
  // A NaN quotient comes from arithmetic, which quietens it.
  const F floored = floor_of_quiet(quotient);
  const F nearest = choose(quotient - floored > F{0.5}, floored + F{1}, floored);
  const F zero = std::copysign(F{0}, exact);
  return choose(r == F{0}, exact, choose(quotient == F{0}, zero, nearest));
}

template <class F>
F floored_div(F l, F r) {
  return div_from_fmod(l, r, std::fmod(l, r));
}

/// The operator applied to x. Neg and Abs work on the sign bit alone, so they
/// also flip or clear it on zeros and NaN. Round takes halves away from zero,
/// RoundEven to even. The predicates give 1.0 or 0.0; Sign gives 1.0, -1.0,
/// 0.0 for either zero, and NaN for NaN. Over another type F (long double,
/// complex) an operator that calls a function of the library calls that
/// function's overload for F.
template <UnaryOp op, class F = double>
inline F unary_value(std::type_identity_t<F> x) {
  if constexpr (op == UnaryOp::Neg) return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) ^ kSignBit);
  if constexpr (op == UnaryOp::Abs) return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) & ~kSignBit);
  if constexpr (op == UnaryOp::Sqrt) return std::sqrt(x);
  if constexpr (op == UnaryOp::Log) return std::log(x);
  if constexpr (op == UnaryOp::Exp) return std::exp(x);
  if constexpr (op == UnaryOp::Log2) return std::log2(x);
  if constexpr (op == UnaryOp::Log10) return std::log10(x);
  if constexpr (op == UnaryOp::Floor) return std::floor(x);
  if constexpr (op == UnaryOp::Ceil) return std::ceil(x);
  if constexpr (op == UnaryOp::Round) return std::round(x);
  if constexpr (op == UnaryOp::Sin) return std::sin(x);
  if constexpr (op == UnaryOp::Cos) return std::cos(x);
  if constexpr (op == UnaryOp::Tan) return std::tan(x);
  if constexpr (op == UnaryOp::Sinh) return std::sinh(x);
  if constexpr (op == UnaryOp::Cosh) return std::cosh(x);
  if constexpr (op == UnaryOp::Tanh) return std::tanh(x);
  if constexpr (op == UnaryOp::Asin) return std::asin(x);
  if constexpr (op == UnaryOp::Acos) return std::acos(x);
  if constexpr (op == UnaryOp::Atan) return std::atan(x);
  if constexpr (op == UnaryOp::Asinh) return std::asinh(x);
  if constexpr (op == UnaryOp::Acosh) return std::acosh(x);
  if constexpr (op == UnaryOp::Atanh) return std::atanh(x);
  if constexpr (op == UnaryOp::Log1p) return std::log1p(x);
  if constexpr (op == UnaryOp::Expm1) return std::expm1(x);
  if constexpr (op == UnaryOp::Trunc) return std::trunc(x);
  if constexpr (op == UnaryOp::RoundEven) return round_half_even(x);
  if constexpr (op == UnaryOp::Sign) return x > 0.0 ? 1.0 : x < 0.0 ? -1.0 : x == 0.0 ? 0.0 : x;
  if constexpr (op == UnaryOp::Signbit) return std::signbit(x) ? 1.0 : 0.0;
  if constexpr (op == UnaryOp::IsNan) return std::isnan(x) ? 1.0 : 0.0;
  if constexpr (op == UnaryOp::IsInf) return std::isinf(x) ? 1.0 : 0.0;
  if constexpr (op == UnaryOp::IsFinite) return std::isfinite(x) ? 1.0 : 0.0;
  if constexpr (op == UnaryOp::Cbrt) return cube_root(x);
}

/// The operator applied to the left operand l and the right operand r.
/// When both operands of Add, Sub, Mul or Div are NaN, the result is the
/// left one, quieted. Min and Max return the other operand when l is NaN and
/// l itself on ties, so Max(-0.0, 0.0) is -0.0. Minimum and Maximum return a
/// NaN operand (l's when both are), and r on ties, as NumPy's and numexpr's
/// minimum and maximum do for -0.0 against 0.0. Atan2 takes
/// l as the y coordinate. FloorDiv and Mod are NumPy's `//` and `%`.
/// float32 takes the same rules for the operations it computes in float32.
template <BinaryOp op, class F = double>
inline F binary_value(F l, F r) {
  // The hardware returns the first operand's NaN, but the compiler may swap
  // the operands of + and * (they commute in value), differently in each
  // loop; a NaN on the left therefore replaces the right operand, which makes
  // the order irrelevant. Selecting the operand rather than the result keeps
  // the loops vectorisable. Sub and Div cannot be swapped.
  if constexpr (op == BinaryOp::Add) return l + (std::isnan(l) ? l : r);
  if constexpr (op == BinaryOp::Sub) return l - r;
  if constexpr (op == BinaryOp::Mul) return l * (std::isnan(l) ? l : r);
  if constexpr (op == BinaryOp::Div) return l / r;
  if constexpr (op == BinaryOp::Pow) return std::pow(l, r);
  if constexpr (op == BinaryOp::Atan2) return std::atan2(l, r);
  if constexpr (op == BinaryOp::Min) return std::isnan(l) ? r : (r < l ? r : l);
  if constexpr (op == BinaryOp::Max) return std::isnan(l) ? r : (r > l ? r : l);
  if constexpr (op == BinaryOp::Fmod) return std::fmod(l, r);
  if constexpr (op == BinaryOp::Hypot) return std::hypot(l, r);
  if constexpr (op == BinaryOp::Nextafter) return std::nextafter(l, r);
  if constexpr (op == BinaryOp::Copysign) return std::copysign(l, r);
  if constexpr (op == BinaryOp::FloorDiv) return floored_div(l, r);
  if constexpr (op == BinaryOp::Mod) return floored_mod(l, r);
  if constexpr (op == BinaryOp::Minimum) return std::isnan(l) || l < r ? l : r;
  if constexpr (op == BinaryOp::Maximum) return std::isnan(l) || l > r ? l : r;
}

/// 1.0 when the comparison holds, else 0.0; a NaN operand makes every
/// comparison false except Ne, which it makes true.
template <CompareOp op>
inline double compare_value(double l, double r) {
  if constexpr (op == CompareOp::Gt) return l > r ? 1.0 : 0.0;
  if constexpr (op == CompareOp::Ge) return l >= r ? 1.0 : 0.0;
  if constexpr (op == CompareOp::Lt) return l < r ? 1.0 : 0.0;
  if constexpr (op == CompareOp::Le) return l <= r ? 1.0 : 0.0;
  if constexpr (op == CompareOp::Eq) return l == r ? 1.0 : 0.0;
  if constexpr (op == CompareOp::Ne) return l != r ? 1.0 : 0.0;
}

/// The value of a binary operator or a comparison, for loops written once
/// for both kinds.
template <auto op>
inline double pair_value(double l, double r) {
  if constexpr (std::is_same_v<decltype(op), BinaryOp>) {
    return binary_value<op>(l, r);
  } else {
    return compare_value<op>(l, r);
  }
}

#define BMX_DISPATCH_CASE(name, code) \
  case decltype(op)::name: return fn(std::integral_constant<decltype(op), decltype(op)::name>{});
/// Calls fn(std::integral_constant<UnaryOp, op>{}) for the run-time code `op`
/// and returns its result; an unknown code is an internal failure.
template <class Fn>
inline decltype(auto) dispatch_unary(UnaryOp op, Fn&& fn) {
  switch (op) { BMX_UNARY_OPS(BMX_DISPATCH_CASE) }
  fail("unknown unary operator code " + std::to_string(static_cast<int>(op)));
}

template <class Fn>
inline decltype(auto) dispatch_binary(BinaryOp op, Fn&& fn) {
  switch (op) { BMX_BINARY_OPS(BMX_DISPATCH_CASE) }
  fail("unknown binary operator code " + std::to_string(static_cast<int>(op)));
}

template <class Fn>
inline decltype(auto) dispatch_compare(CompareOp op, Fn&& fn) {
  switch (op) { BMX_COMPARE_OPS(BMX_DISPATCH_CASE) }
  fail("unknown compare operator code " + std::to_string(static_cast<int>(op)));
}
#undef BMX_DISPATCH_CASE

/// The operator of code `op` applied to x.
inline double apply_unary(UnaryOp op, double x) {
  return dispatch_unary(op, [x](auto code) { return unary_value<decltype(code)::value>(x); });
}

/// The operator of code `op` applied to l and r.
inline double apply_binary(BinaryOp op, double l, double r) {
  return dispatch_binary(op, [l, r](auto code) { return binary_value<decltype(code)::value>(l, r); });
}

/// The comparison of code `op` applied to l and r, as 1.0 or 0.0.
inline double apply_compare(CompareOp op, double l, double r) {
  return dispatch_compare(op, [l, r](auto code) { return compare_value<decltype(code)::value>(l, r); });
}

BMX_ISA_END
}  // namespace bmx
