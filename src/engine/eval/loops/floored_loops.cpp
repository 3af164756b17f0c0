// NumPy's floored division and remainder over blocks, for both engines: fmod
// of a quotient of a few bits, found exactly without libm's fmod, which
// vectorises; the elements beyond it (huge quotients, zero divisors,
// infinities, NaN) take the scalar operator afterwards. Both give fmod's exact
// remainder, so the bits are the scalar operator's.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "../operators.h"
#include "level_parts.h"

namespace bmx {
BMX_ISA_BEGIN

namespace {

/// fmod(l, r), exact, for `near` operands (else meaningless). The quotient
/// rounded to an integer is the integer one (fmod's) or one above it; l
/// minus its product with r is then exact, and so is the move back by r
/// where the first one was too large: both remainders are multiples of r's
/// last place no larger than |r|. float32 computes it in float64, where the
/// product of a quotient below 2**28 with a finite r is exact.
[[gnu::always_inline]] inline double near_fmod(float l, float r) {
  const double wide_l = l, wide_r = r;
  const double whole = nearest_small(wide_l / wide_r);
  const double mod = wide_l - whole * wide_r;
  return choose((mod != 0.0) & ((mod < 0.0) != (wide_l < 0.0)), mod + std::copysign(wide_r, wide_l), mod);
}

/// The high half of x for Dekker's product: x less it is the low half, and
/// each has 26 bits at most, so that the products of halves are exact
/// (Dekker, "A floating-point technique for extending the available
/// precision", 1971).
[[gnu::always_inline]] inline double high_half(double x) {
  const double scaled = (0x1p27 + 1.0) * x;
  return scaled - (scaled - x);
}

/// float64's integer quotient toward zero and fmod's remainder.
struct Truncated {
  double quotient;
  double mod;
};

/// float64 takes the product of the integer quotient with r as a sum of two
/// (Dekker's), exact for an r between 2**-900 and 2**900: l minus the first
/// part is exact (the quotient is within a half of l / r, so the part is
/// within a factor of two of l: Sterbenz), and the remainder is that
/// difference less the second part. Where it has not l's sign the rounded
/// quotient was one too far from zero.
[[gnu::always_inline]] inline Truncated near_truncated(double l, double r) {
  const double whole = nearest_small(l / r);
  const double product = whole * r;
  const double whole_high = high_half(whole), r_high = high_half(r);
  const double whole_low = whole - whole_high, r_low = r - r_high;
  const double error =
      ((whole_high * r_high - product) + whole_high * r_low + whole_low * r_high) + whole_low * r_low;
  const double mod = (l - product) - error;
  const bool past = (mod != 0.0) & ((mod < 0.0) != (l < 0.0));
  return {choose(past, whole - std::copysign(1.0, whole), whole), choose(past, mod + std::copysign(r, l), mod)};
}

[[gnu::always_inline]] inline double near_fmod(double l, double r) { return near_truncated(l, r).mod; }

/// NumPy's floor(l / r) from fmod's exact remainder, (l - mod) / r less one
/// where the remainder moves by r, rounded to a nearest integer, is the
/// exact floored quotient for quotients below 2**49: both roundings together
/// are within 2**49 * 2**-52 of it, and so is the subtraction of one, within
/// an eighth more; below 0.5 either way. The integer quotient is known here,
/// which spares the second division.
[[gnu::always_inline]] inline double near_floor_div(double l, double r) {
  const Truncated truncated = near_truncated(l, r);
  const bool moved = (truncated.mod != 0.0) & ((r < 0.0) != (truncated.mod < 0.0));
  const double floored = truncated.quotient - choose(moved, 1.0, 0.0);
  return choose(floored == 0.0, std::copysign(0.0, l / r), floored);
}

/// The bits of a magnitude, which order as the magnitudes do (NaN above
/// infinity), so that a loop keeps their largest and least in integer
/// registers, which vectorise.
[[gnu::always_inline]] inline std::int64_t magnitude_bits(double x) {
  return std::bit_cast<std::int64_t>(std::fabs(x));
}

/// The largest quotient and the divisors `near_fmod` (and for float64's
/// floored division `near_floor_div`) takes: a float32 divisor is any finite
/// one (an infinite one gives a zero quotient, and its product NaN).
template <BinaryOp op, class F>
struct Bounds {
  static constexpr double kQuotient = sizeof(F) == 4 ? 0x1p28 : op == BinaryOp::FloorDiv ? 0x1p49 : 0x1p52;
  static constexpr double kLeast = sizeof(F) == 8 ? 0x1p-900 : 0.0;
  static constexpr double kMost = sizeof(F) == 8 ? 0x1p900 : std::numeric_limits<float>::max();
};

/// Whether `near_value` finds the operator's value.
template <BinaryOp op, class F>
bool near(F l, F r) {
  using Bound = Bounds<op, F>;
  const double quotient = static_cast<double>(l) / static_cast<double>(r);
  const double size = std::fabs(static_cast<double>(r));
  return std::fabs(quotient) < Bound::kQuotient && size >= Bound::kLeast && size <= Bound::kMost;
}

/// The operator's value for `near` operands (else meaningless).
template <BinaryOp op, class F>
[[gnu::always_inline]] inline F near_value(F l, F r) {
  if constexpr (op == BinaryOp::FloorDiv && sizeof(F) == 8) {
    return near_floor_div(l, r);
  } else if constexpr (op == BinaryOp::FloorDiv) {
    return div_from_fmod(l, r, static_cast<F>(near_fmod(l, r)));
  } else {
    return mod_from_fmod(r, static_cast<F>(near_fmod(l, r)));
  }
}

/// Elements per pass: a chunk is computed, mended and copied out while it
/// is in the first-level cache, so that `out` may be an operand.
constexpr std::size_t kChunk = 256;

}  // namespace

template <BinaryOp op, class F, FlooredShape shape>
void floored_loop(F* out, const F* left, const F* right, std::size_t n) {
  F chunk[kChunk];
  for (std::size_t start = 0; start < n; start += kChunk) {
    const std::size_t count = std::min(kChunk, n - start);
    const F* const l = shape == FlooredShape::LeftScalar ? left : left + start;
    const F* const r = shape == FlooredShape::RightScalar ? right : right + start;
    constexpr std::size_t kLeftStep = shape == FlooredShape::LeftScalar ? 0 : 1;
    constexpr std::size_t kRightStep = shape == FlooredShape::RightScalar ? 0 : 1;
    // The extremes of the chunk's quotients and divisors say whether every
    // element is near; one comparison per element would keep a branch.
    std::int64_t quotient_most = 0, divisor_most = 0, divisor_least = std::numeric_limits<std::int64_t>::max();
    for (std::size_t k = 0; k < count; ++k) {
      const F a = l[k * kLeftStep], b = r[k * kRightStep];
      chunk[k] = near_value<op>(a, b);
      const std::int64_t quotient = magnitude_bits(static_cast<double>(a) / static_cast<double>(b));
      const std::int64_t divisor = magnitude_bits(b);
      quotient_most = std::max(quotient_most, quotient);
      divisor_most = std::max(divisor_most, divisor);
      divisor_least = std::min(divisor_least, divisor);
    }
    using Bound = Bounds<op, F>;
    const bool all_near = quotient_most < magnitude_bits(Bound::kQuotient) &&
                          divisor_most <= magnitude_bits(Bound::kMost) && divisor_least >= magnitude_bits(Bound::kLeast);
    if (!all_near) {
      for (std::size_t k = 0; k < count; ++k) {
        const F a = l[k * kLeftStep], b = r[k * kRightStep];
        if (!near<op>(a, b)) chunk[k] = binary_value<op, F>(a, b);
      }
    }
    std::copy(chunk, chunk + count, out + start);
  }
}

#define BMX_FLOORED_LOOPS(op, F)                                                                      \
  template void floored_loop<BinaryOp::op, F, FlooredShape::Both>(F*, const F*, const F*, std::size_t); \
  template void floored_loop<BinaryOp::op, F, FlooredShape::RightScalar>(F*, const F*, const F*,       \
                                                                         std::size_t);                 \
  template void floored_loop<BinaryOp::op, F, FlooredShape::LeftScalar>(F*, const F*, const F*, std::size_t);
BMX_FLOORED_LOOPS(FloorDiv, double)
BMX_FLOORED_LOOPS(Mod, double)
BMX_FLOORED_LOOPS(FloorDiv, float)
BMX_FLOORED_LOOPS(Mod, float)
#undef BMX_FLOORED_LOOPS

BMX_ISA_END
}  // namespace bmx
