// Integral and half-integral constant powers of float64 with the platform's
// pow bits, vectorised. Each element's power is computed in double-double
// arithmetic (about 2^-100 relative), rounded, and kept where it lies so far
// from a rounding midpoint that pow, within its documented error, must round
// the same way; every other element, and every special input, is pow's own.
// Without FMA: the products are Dekker's (T. J. Dekker, "A floating-point
// technique for extending the available precision", 1971).
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "../operators.h"
#include "level_parts.h"

namespace bmx {
BMX_ISA_BEGIN

namespace {

/// hi + lo, |lo| at most half an ulp of hi.
struct DoubleDouble {
  double hi;
  double lo;
};

DoubleDouble quick_two_sum(double a, double b) {
  const double s = a + b;
  return {s, b - (s - a)};
}

/// a split into two halves of 26 bits each (exact for |a| below 2^996).
DoubleDouble split(double a) {
  constexpr double kSplitter = 134217729.0;  // 2^27 + 1
  const double c = kSplitter * a;
  const double hi = c - (c - a);
  return {hi, a - hi};
}

/// a * b exactly, as the rounded product and its error, of b already split.
DoubleDouble two_product(double a, double b, DoubleDouble b_split) {
  const double p = a * b;
  const DoubleDouble x = split(a);
  return {p, ((x.hi * b_split.hi - p) + x.hi * b_split.lo + x.lo * b_split.hi) + x.lo * b_split.lo};
}

DoubleDouble two_product(double a, double b) { return two_product(a, b, split(b)); }

/// a * b, of b already split.
DoubleDouble multiply(DoubleDouble a, double b, DoubleDouble b_split) {
  const DoubleDouble p = two_product(a.hi, b, b_split);
  return quick_two_sum(p.hi, p.lo + a.lo * b);
}

DoubleDouble multiply(DoubleDouble a, DoubleDouble b) {
  const DoubleDouble p = two_product(a.hi, b.hi);
  return quick_two_sum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

DoubleDouble square(DoubleDouble a) {
  const double p = a.hi * a.hi;
  const DoubleDouble x = split(a.hi);
  const double error = ((x.hi * x.hi - p) + 2.0 * (x.hi * x.lo)) + x.lo * x.lo;
  return quick_two_sum(p, error + 2.0 * (a.hi * a.lo));
}

/// 1 / a: the rounded quotient, corrected once by its exact residual.
DoubleDouble reciprocal(DoubleDouble a) {
  const double q = 1.0 / a.hi;
  const DoubleDouble p = two_product(q, a.hi);
  // 1 - p.hi is exact: p.hi lies within an ulp of 1.
  const double residual = ((1.0 - p.hi) - p.lo) - q * a.lo;
  return quick_two_sum(q, q * residual);
}

/// sqrt(a): the rounded root, corrected once by its exact remainder.
DoubleDouble square_root(double a) {
  const double s = std::sqrt(a);
  const DoubleDouble p = two_product(s, s);
  // a - p.hi is exact: p.hi lies within two ulps of a.
  return quick_two_sum(s, ((a - p.hi) - p.lo) / (2.0 * s));
}

/// What pow's documented error (glibc: within 0.52 ulp of the exact power)
/// leaves of the distance to a midpoint: a power nearer its nearest double
/// than this many ulps is the double pow returns. 2^-20 ulp covers this
/// file's own error, under 2^-40 ulp.
constexpr double kSafeUlps = 1.0 - 0.52 - 0x1p-20;

/// The spacing of doubles below r > 0 (half the spacing above at a power
/// of two), for r at least 2^52 times the smallest normal double.
double spacing_below(double r) {
  constexpr std::uint64_t kMantissa = (std::uint64_t{1} << 52) - 1;
  const auto bits = std::bit_cast<std::uint64_t>(r);
  const double ulp = std::bit_cast<double>((bits & ~kMantissa) - (std::uint64_t{52} << 52));
  return (bits & kMantissa) == 0 ? 0.5 * ulp : ulp;
}

constexpr std::size_t kChunk = 256;

/// An exponent taken apart, and the inputs whose every intermediate (x^k for
/// k up to |exponent|, its square root and its reciprocal) stays within
/// 2^+-900: there Dekker's split cannot overflow, the error terms are normal
/// and the spacing of the result is a normal double.
struct Power {
  explicit Power(double exponent)
      : exponent(exponent),
        whole(static_cast<std::uint32_t>(std::fabs(exponent))),
        half(std::fabs(exponent) != whole),
        high(std::exp2(std::floor(900.0 / (std::fabs(exponent) + 1.0)))),
        low(1.0 / high) {}
  double exponent;
  std::uint32_t whole;
  bool half;
  double high;
  double low;
};

/// x ** exponent over one chunk of at most kChunk elements; `out` may be `in`.
void power_chunk(double* out, const double* in, const Power& power, std::size_t n) {
  // Copies, which the compiler knows no store below changes.
  const std::uint32_t whole = power.whole;
  const bool half = power.half;
  const bool odd = !half && whole % 2 == 1;
  const double low = power.low;
  const double high = power.high;
  // An element left to pow is a NaN from the start (the input out of range)
  // or from the check (too near a midpoint): every kept power is a number.
  constexpr double kLeft = std::numeric_limits<double>::quiet_NaN();
  std::array<double, kChunk> base, base_hi, base_lo, hi, lo;
  for (std::size_t k = 0; k < n; ++k) {
    // A half power of a negative number is NaN, pow's to give.
    const double x = half ? in[k] : std::fabs(in[k]);
    base[k] = (x >= low) & (x <= high) ? x : kLeft;
    const DoubleDouble parts = split(base[k]);
    base_hi[k] = parts.hi;
    base_lo[k] = parts.lo;
    hi[k] = whole == 0 ? 1.0 : base[k];
    lo[k] = 0.0;
  }
  // Square and multiply from the bit below the highest: hi:lo becomes
  // x^whole (1 for a whole part of 0).
  for (int bit = std::bit_width(whole) - 2; bit >= 0; --bit) {
    for (std::size_t k = 0; k < n; ++k) {
      const DoubleDouble v = square({hi[k], lo[k]});
      hi[k] = v.hi;
      lo[k] = v.lo;
    }
    if (((whole >> bit) & 1U) == 0) continue;
    for (std::size_t k = 0; k < n; ++k) {
      const DoubleDouble v = multiply({hi[k], lo[k]}, base[k], {base_hi[k], base_lo[k]});
      hi[k] = v.hi;
      lo[k] = v.lo;
    }
  }
  if (half) {
    for (std::size_t k = 0; k < n; ++k) {
      const DoubleDouble root = square_root(base[k]);
      const DoubleDouble v = whole == 0 ? root : multiply({hi[k], lo[k]}, root);
      hi[k] = v.hi;
      lo[k] = v.lo;
    }
  }
  if (power.exponent < 0) {
    for (std::size_t k = 0; k < n; ++k) {
      const DoubleDouble v = reciprocal({hi[k], lo[k]});
      hi[k] = v.hi;
      lo[k] = v.lo;
    }
  }
  for (std::size_t k = 0; k < n; ++k) {
    const double sign = odd & (in[k] < 0) ? -1.0 : 1.0;
    hi[k] = std::fabs(lo[k]) <= kSafeUlps * spacing_below(hi[k]) ? sign * hi[k] : kLeft;
  }
  // The elements left, about one in twenty-five, listed without a branch.
  std::array<std::uint16_t, kChunk> left;
  std::size_t count = 0;
  for (std::size_t k = 0; k < n; ++k) {
    left[count] = static_cast<std::uint16_t>(k);
    count += std::isnan(hi[k]) ? 1 : 0;
  }
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t k = left[i];
    hi[k] = binary_value<BinaryOp::Pow>(in[k], power.exponent);
  }
  std::copy_n(hi.begin(), n, out);
}

}  // namespace

void exact_power_loop(double* out, const double* in, double exponent, std::size_t n) {
  const Power power(exponent);
  for (std::size_t start = 0; start < n; start += kChunk) {
    power_chunk(out + start, in + start, power, std::min(kChunk, n - start));
  }
}

BMX_ISA_END
}  // namespace bmx
