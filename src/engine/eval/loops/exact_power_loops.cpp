// Integral and half-integral constant powers with the platform's pow bits,
// vectorised. Each element's power is computed in double-double arithmetic
// (about 2^-100 relative), rounded, and kept where it lies so far from a
// rounding midpoint that pow, within its documented error, must round the
// same way; every other element, and every special input, is pow's own.
// Without FMA: the products are Dekker's (T. J. Dekker, "A floating-point
// technique for extending the available precision", 1971).
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

/// a * b exactly, as the rounded product and its error.
DoubleDouble two_product(double a, double b) {
  const double p = a * b;
  const DoubleDouble x = split(a);
  const DoubleDouble y = split(b);
  return {p, ((x.hi * y.hi - p) + x.hi * y.lo + x.lo * y.hi) + x.lo * y.lo};
}

DoubleDouble multiply(DoubleDouble a, DoubleDouble b) {
  const DoubleDouble p = two_product(a.hi, b.hi);
  return quick_two_sum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
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

/// What pow's documented error leaves of the distance to a midpoint: a
/// result nearer its nearest F than this many ulps is the one pow returns.
/// glibc's pow is within 0.52 ulp and powf within 0.82 ulp of the exact
/// value; the 0.01 covers this file's own error (under 2^-40 ulp).
template <class F>
constexpr double kSafeUlps = std::is_same_v<F, double> ? 1.0 - 0.52 - 0.01 : 1.0 - 0.82 - 0.01;

/// The spacing of F below |r| (half the spacing above at a power of two),
/// for a normal r at least 2^(digits) times the smallest normal F.
template <class F>
double spacing_below(F r) {
  using Bits = std::conditional_t<std::is_same_v<F, double>, std::uint64_t, std::uint32_t>;
  constexpr int kMantissa = std::numeric_limits<F>::digits - 1;
  constexpr Bits kMantissaMask = (Bits{1} << kMantissa) - 1;
  const Bits bits = std::bit_cast<Bits>(r);
  const Bits exponent = bits & ~kMantissaMask & (std::numeric_limits<Bits>::max() >> 1);
  const F ulp = std::bit_cast<F>(static_cast<Bits>(exponent - (Bits{kMantissa} << kMantissa)));
  return (bits & kMantissaMask) == 0 ? 0.5 * ulp : ulp;
}

constexpr std::size_t kChunk = 256;

/// An exponent taken apart, and the inputs whose every intermediate (x^k for
/// k up to |exponent|, its square root and its reciprocal) stays within
/// 2^+-limit: there Dekker's split cannot overflow, the error terms are
/// normal and the result is a normal F of a normal spacing.
template <class F>
struct Power {
  explicit Power(double exponent)
      : exponent(exponent),
        whole(static_cast<std::uint32_t>(std::fabs(exponent))),
        half(std::fabs(exponent) != whole),
        high(std::exp2(std::floor((std::is_same_v<F, double> ? 900.0 : 100.0) / (std::fabs(exponent) + 1.0)))),
        low(1.0 / high) {}
  double exponent;
  std::uint32_t whole;
  bool half;
  double high;
  double low;
};

/// x ** exponent over one chunk of at most kChunk elements; `out` may be `in`.
template <class F>
void power_chunk(F* out, const F* in, const Power<F>& power, std::size_t n) {
  const std::uint32_t whole = power.whole;
  const bool half = power.half;
  const bool odd = !half && whole % 2 == 1;
  std::array<double, kChunk> base, hi, lo;
  std::array<bool, kChunk> kept;
  for (std::size_t k = 0; k < n; ++k) {
    // A half power of a negative number is NaN, pow's to give.
    const double x = half ? static_cast<double>(in[k]) : std::fabs(static_cast<double>(in[k]));
    kept[k] = x >= power.low && x <= power.high;
    base[k] = kept[k] ? x : 1.0;
    hi[k] = whole == 0 ? 1.0 : base[k];
    lo[k] = 0.0;
  }
  // Square and multiply from the bit below the highest: hi:lo becomes
  // x^whole (1 for a whole part of 0).
  for (int bit = std::bit_width(whole) - 2; bit >= 0; --bit) {
    for (std::size_t k = 0; k < n; ++k) {
      const DoubleDouble v = multiply({hi[k], lo[k]}, {hi[k], lo[k]});
      hi[k] = v.hi;
      lo[k] = v.lo;
    }
    if (((whole >> bit) & 1U) == 0) continue;
    for (std::size_t k = 0; k < n; ++k) {
      const DoubleDouble v = multiply({hi[k], lo[k]}, {base[k], 0.0});
      hi[k] = v.hi;
      lo[k] = v.lo;
    }
  }
  for (std::size_t k = 0; k < n; ++k) {
    DoubleDouble v{hi[k], lo[k]};
    if (half) v = multiply(v, square_root(base[k]));
    if (power.exponent < 0) v = reciprocal(v);
    const F rounded = static_cast<F>(v.hi);
    // How far the exact power lies from the rounded one.
    const double off = (v.hi - static_cast<double>(rounded)) + v.lo;
    kept[k] = kept[k] && std::fabs(off) <= kSafeUlps<F> * spacing_below(rounded);
    hi[k] = odd && in[k] < 0 ? -static_cast<double>(rounded) : static_cast<double>(rounded);
  }
  for (std::size_t k = 0; k < n; ++k) {
    if (!kept[k]) hi[k] = binary_value<BinaryOp::Pow>(in[k], static_cast<F>(power.exponent));
  }
  for (std::size_t k = 0; k < n; ++k) out[k] = static_cast<F>(hi[k]);
}

}  // namespace

template <class F>
void exact_power_loop(F* out, const F* in, double exponent, std::size_t n) {
  const Power<F> power(exponent);
  for (std::size_t start = 0; start < n; start += kChunk) {
    power_chunk(out + start, in + start, power, std::min(kChunk, n - start));
  }
}

template void exact_power_loop(double*, const double*, double, std::size_t);
template void exact_power_loop(float*, const float*, double, std::size_t);

BMX_ISA_END
}  // namespace bmx
