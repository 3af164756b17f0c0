// Integral and half-integral constant powers of float64 with the platform's
// pow bits, vectorised. Each element's power is computed in double-double
// arithmetic (about 2^-100 relative), rounded, and kept where it lies so far
// from a rounding midpoint that pow, within its documented error, must round
// the same way; every other element, and every special input, is pow's own.
// The error of a product is a fused multiply-add's where the level has one,
// else Dekker's (T. J. Dekker, "A floating-point technique for extending the
// available precision", 1971).
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "../block_loop.h"
#include "../operators.h"
#include "level_parts.h"

// Every processor of the wider levels has FMA (isa_level.cpp checks it).
// Only this file's explicit std::fma calls fuse: -ffp-contract=off still
// keeps every other product and sum apart.
#if defined(BMX_ISA_WIDE)
#pragma GCC target("fma")
#endif

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

/// a * b exactly, as the rounded product and its error.
DoubleDouble two_product(double a, double b) {
  const double p = a * b;
#if defined(BMX_ISA_WIDE)
  return {p, std::fma(a, b, -p)};
#else
  // Halves of 26 bits each, whose products are exact (for |a|, |b| below 2^996).
  const auto split = [](double v) {
    constexpr double kSplitter = 134217729.0;  // 2^27 + 1
    const double c = kSplitter * v;
    const double high = c - (c - v);
    return DoubleDouble{high, v - high};
  };
  const DoubleDouble x = split(a);
  const DoubleDouble y = split(b);
  return {p, ((x.hi * y.hi - p) + x.hi * y.lo + x.lo * y.hi) + x.lo * y.lo};
#endif
}

DoubleDouble multiply(DoubleDouble a, double b) {
  const DoubleDouble p = two_product(a.hi, b);
  return quick_two_sum(p.hi, p.lo + a.lo * b);
}

DoubleDouble multiply(DoubleDouble a, DoubleDouble b) {
  const DoubleDouble p = two_product(a.hi, b.hi);
  return quick_two_sum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

DoubleDouble square(DoubleDouble a) {
  const DoubleDouble p = two_product(a.hi, a.hi);
  return quick_two_sum(p.hi, p.lo + 2.0 * (a.hi * a.lo));
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

/// 1 / sqrt(a): the rounded reciprocal of the rounded root, corrected once
/// by the residual 1 - a q^2 (q (1 - e)^-1/2 is q (1 + e/2) within 3e^2/8).
DoubleDouble reciprocal_square_root(double a) {
  const double q = 1.0 / std::sqrt(a);
  const DoubleDouble square = two_product(q, q);
  const DoubleDouble p = two_product(a, square.hi);
  // 1 - p.hi is exact: p.hi lies within a few ulps of 1.
  const double residual = ((1.0 - p.hi) - p.lo) - a * square.lo;
  return quick_two_sum(q, 0.5 * (q * residual));
}

/// What pow's documented error (glibc: within 0.52 ulp of the exact power)
/// leaves of the distance to a midpoint: a power nearer its nearest double
/// than this many ulps is the double pow returns. 2^-20 ulp covers this
/// file's own error, under 2^-40 ulp.
constexpr double kSafeUlps = 1.0 - 0.52 - 0x1p-20;

/// The spacing of doubles below r > 0 (half the spacing above at a power
/// of two): r less the double below it, exactly, for r a normal double
/// above the smallest.
double spacing_below(double r) {
  return r - std::bit_cast<double>(std::bit_cast<std::uint64_t>(r) - 1);
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

/// The positions of the set bits of each byte, lowest first.
constexpr auto kSetBits = [] {
  std::array<std::array<std::uint8_t, 8>, 256> positions{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    unsigned count = 0;
    for (std::uint8_t bit = 0; bit < 8; ++bit) {
      if (((byte >> bit) & 1U) != 0) positions[byte][count++] = bit;
    }
  }
  return positions;
}();

/// x ** exponent over one chunk of at most kChunk elements; `out` may be `in`.
void power_chunk(double* out, const double* in, const Power& power, std::size_t n) {
  // Copies, which the compiler knows no store below changes.
  const std::uint32_t whole = power.whole;
  const bool half = power.half;
  const bool odd = !half && whole % 2 == 1;
  const double low = power.low;
  const double high = power.high;
  // An input out of range is a NaN from the start, which fails the check:
  // every kept power is a number.
  constexpr double kLeft = std::numeric_limits<double>::quiet_NaN();
  std::array<double, kChunk> input, base, hi, lo;
  for (std::size_t k = 0; k < n; ++k) {
    input[k] = in[k];
    // A half power of a negative number is NaN, pow's to give.
    const double x = half ? in[k] : std::fabs(in[k]);
    base[k] = (x >= low) & (x <= high) ? x : kLeft;
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
      const DoubleDouble v = multiply({hi[k], lo[k]}, base[k]);
      hi[k] = v.hi;
      lo[k] = v.lo;
    }
  }
  // x^-0.5 takes one division, where the root's reciprocal takes two.
  const bool inverse_root = power.exponent == -0.5;
  if (half && !inverse_root) {
    for (std::size_t k = 0; k < n; ++k) {
      const DoubleDouble root = square_root(base[k]);
      const DoubleDouble v = whole == 0 ? root : multiply({hi[k], lo[k]}, root);
      hi[k] = v.hi;
      lo[k] = v.lo;
    }
  }
  if (power.exponent < 0 && !inverse_root) {
    for (std::size_t k = 0; k < n; ++k) {
      const DoubleDouble v = reciprocal({hi[k], lo[k]});
      hi[k] = v.hi;
      lo[k] = v.lo;
    }
  }
  if (inverse_root) {
    for (std::size_t k = 0; k < n; ++k) {
      const DoubleDouble v = reciprocal_square_root(base[k]);
      hi[k] = v.hi;
      lo[k] = v.lo;
    }
  }
  // 1 for each element left to pow.
  std::array<std::uint8_t, kChunk> flags{};
  for (std::size_t k = 0; k < n; ++k) {
    const bool kept = std::fabs(lo[k]) <= kSafeUlps * spacing_below(hi[k]);
    out[k] = odd ? std::copysign(hi[k], input[k]) : hi[k];
    flags[k] = kept ? 0 : 1;
  }
  // The elements left, about one in twenty-five, listed without a branch.
  std::array<std::uint8_t, kChunk + 8> left;
  static_assert(kChunk <= 256, "a chunk's positions are bytes");
  std::size_t count = 0;
  for (std::size_t first = 0; first < n; first += 8) {
    std::uint64_t eight = 0;
    std::memcpy(&eight, &flags[first], 8);
    if constexpr (std::endian::native == std::endian::big) eight = __builtin_bswap64(eight);
    // Flag j (0 or 1) of byte j lands on bit 56 + j of the product, which
    // no other pair of bits reaches nor carries into.
    const auto byte = static_cast<std::uint8_t>((eight * 0x0102040810204080) >> 56);
    for (std::size_t j = 0; j < 8; ++j) left[count + j] = static_cast<std::uint8_t>(first + kSetBits[byte][j]);
    count += static_cast<std::size_t>(std::popcount(byte));
  }
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t k = left[i];
    out[k] = binary_value<BinaryOp::Pow>(input[k], power.exponent);
  }
}

/// Asks for the chunk after the one at `in`, which may lie past the array
/// (a prefetch is only a hint: it never faults), to be on its way to the
/// cache while this one computes: the processor's own prefetcher falls
/// behind reads that come in bursts a chunk apart.
void prefetch_next_chunk(const double* in) {
  const std::uintptr_t next = reinterpret_cast<std::uintptr_t>(in) + kChunk * sizeof(double);
  for (std::size_t line = 0; line < kChunk * sizeof(double); line += kLineBytes) {
    __builtin_prefetch(reinterpret_cast<const void*>(next + line));
  }
}

}  // namespace

void exact_power_loop(double* out, const double* in, double exponent, std::size_t n) {
  const Power power(exponent);
  for (std::size_t start = 0; start < n; start += kChunk) {
    prefetch_next_chunk(in + start);
    power_chunk(out + start, in + start, power, std::min(kChunk, n - start));
  }
}

BMX_ISA_END
}  // namespace bmx
