// Conversions between the element types, and the select loops.
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "level_parts.h"
#include "typed_loop_impl.h"

namespace bmx {
BMX_ISA_BEGIN

namespace {

using typed::Complex;
using typed::Integer;
using typed::Real;

float half_to_float(Half h) {
  const std::uint32_t sign = static_cast<std::uint32_t>(h.bits & 0x8000U) << 16;
  const std::uint32_t exponent = (h.bits >> 10) & 0x1fU;
  std::uint32_t mantissa = h.bits & 0x3ffU;
  if (exponent == 0x1f) return std::bit_cast<float>(sign | 0x7f800000U | (mantissa << 13));
  if (exponent != 0) return std::bit_cast<float>(sign | ((exponent + 112) << 23) | (mantissa << 13));
  // Subnormal halves are exact float normals: mantissa * 2^-24.
  const float magnitude = static_cast<float>(mantissa) * 0x1p-24f;
  return sign != 0 ? -magnitude : magnitude;
}

/// x rounded once, to the nearest half (ties to even), as NumPy converts
/// float64 to float16; going through float32 would round twice.
Half double_to_half(double x) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  const auto sign = static_cast<std::uint16_t>((bits >> 48) & 0x8000U);
  const auto exponent = static_cast<int>((bits >> 52) & 0x7ffU);
  const std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
  if (exponent == 0x7ff) {
    // A NaN keeps its sign and top payload bits, and stays a quiet NaN.
    if (mantissa != 0) return {static_cast<std::uint16_t>(sign | 0x7e00U | (mantissa >> 42))};
    return {static_cast<std::uint16_t>(sign | 0x7c00U)};
  }
  const int biased = exponent - 1023 + 15;
  if (biased >= 31) return {static_cast<std::uint16_t>(sign | 0x7c00U)};
  if (biased <= 0) {
    // Below 2^-25 every value rounds to zero (2^-25 itself is a tie to 0).
    if (biased < -10) return {sign};
    const std::uint64_t full = mantissa | (std::uint64_t{1} << 52);
    const int shift = 43 - biased;
    std::uint64_t half = full >> shift;
    const std::uint64_t rest = full & ((std::uint64_t{1} << shift) - 1);
    const std::uint64_t tie = std::uint64_t{1} << (shift - 1);
    if (rest > tie || (rest == tie && (half & 1U) != 0)) ++half;
    return {static_cast<std::uint16_t>(sign | half)};
  }
  std::uint32_t half = sign | (static_cast<std::uint32_t>(biased) << 10) | static_cast<std::uint32_t>(mantissa >> 42);
  const std::uint64_t rest = mantissa & ((std::uint64_t{1} << 42) - 1);
  const std::uint64_t tie = std::uint64_t{1} << 41;
  // A carry out of the mantissa steps the exponent, up to infinity.
  if (rest > tie || (rest == tie && (half & 1U) != 0)) ++half;
  return {static_cast<std::uint16_t>(half)};
}

/// A float converted to an integer type: in range, truncated and wrapped to
/// the width; NaN and values beyond 64 bits give the bits the processor's
/// own conversion gives (the most negative int64), where C++ would leave the
/// result undefined.
template <Integer I>
I float_to_integer(double x) {
  constexpr double kTwo63 = 9223372036854775808.0;
  if (x >= -kTwo63 && x < kTwo63) return static_cast<I>(static_cast<std::int64_t>(x));
  if (std::is_unsigned_v<I> && x >= 0.0 && x < 2.0 * kTwo63) return static_cast<I>(static_cast<std::uint64_t>(x));
  return static_cast<I>(std::numeric_limits<std::int64_t>::min());
}

template <class To, class From>
To convert(From x) {
  if constexpr (std::is_same_v<From, Half>) {
    return convert<To>(half_to_float(x));
  } else if constexpr (std::is_same_v<To, Half>) {
    if constexpr (Complex<From>) return double_to_half(static_cast<double>(x.real()));
    else return double_to_half(static_cast<double>(x));
  } else if constexpr (std::is_same_v<To, bool>) {
    if constexpr (Complex<From>) return x.real() != 0 || x.imag() != 0;
    else return x != From{0};
  } else if constexpr (Complex<To>) {
    using F = typename To::value_type;
    if constexpr (Complex<From>) return To{static_cast<F>(x.real()), static_cast<F>(x.imag())};
    else return To{static_cast<F>(x), F{0}};
  } else if constexpr (Complex<From>) {
    return convert<To>(x.real());
  } else if constexpr (Integer<To> && Real<From>) {
    return float_to_integer<To>(static_cast<double>(x));
  } else {
    return static_cast<To>(x);
  }
}

template <class To, class From>
void cast_loop(void* out, const void* in, std::size_t n) {
  auto* const target = static_cast<To*>(out);
  const auto* const source = static_cast<const From*>(in);
  for (std::size_t k = 0; k < n; ++k) target[k] = convert<To>(source[k]);
}

template <class T>
void select_loop(void* out, const bool* cond, const void* a, const void* b, std::size_t n) {
  auto* const target = static_cast<T*>(out);
  const auto* const left = static_cast<const T*>(a);
  const auto* const right = static_cast<const T*>(b);
  // A mask of the condition blends the two values' bits, which the loop
  // vectorises where a choice would stay a branch per element; GCC
  // vectorises loads of the condition's bytes, not of bools.
  const auto* const flags = reinterpret_cast<const unsigned char*>(cond);
  for (std::size_t k = 0; k < n; ++k) {
    const T mask = static_cast<T>(T{0} - static_cast<T>(flags[k]));
    target[k] = static_cast<T>((left[k] & mask) | (right[k] & static_cast<T>(~mask)));
  }
}

template <class From>
CastLoop cast_from(ElementType to) {
  switch (to) {
#define BMX_CAST_TO_CASE(name, code, text, type) \
  case ElementType::name: return &cast_loop<type, From>;
    BMX_DTYPES(BMX_CAST_TO_CASE)
#undef BMX_CAST_TO_CASE
  }
  return nullptr;
}

/// 16-byte elements (complex128) as two 8-byte halves under one mask.
void select_pairs(void* out, const bool* cond, const void* a, const void* b, std::size_t n) {
  auto* const target = static_cast<std::uint64_t*>(out);
  const auto* const left = static_cast<const std::uint64_t*>(a);
  const auto* const right = static_cast<const std::uint64_t*>(b);
  const auto* const flags = reinterpret_cast<const unsigned char*>(cond);
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint64_t mask = std::uint64_t{0} - static_cast<std::uint64_t>(flags[k]);
    target[2 * k] = (left[2 * k] & mask) | (right[2 * k] & ~mask);
    target[2 * k + 1] = (left[2 * k + 1] & mask) | (right[2 * k + 1] & ~mask);
  }
}

}  // namespace

// Plain switches rather than dispatch_dtype: its failure path would bring
// the string library's inline functions into this level's code.
CastLoop cast_loop_for(ElementType from, ElementType to) {
  switch (from) {
#define BMX_CAST_FROM_CASE(name, code, text, type) \
  case ElementType::name: return cast_from<type>(to);
    BMX_DTYPES(BMX_CAST_FROM_CASE)
#undef BMX_CAST_FROM_CASE
  }
  return nullptr;
}

SelectLoop select_loop_for(std::size_t size) {
  switch (size) {
    case 1: return &select_loop<std::uint8_t>;
    case 2: return &select_loop<std::uint16_t>;
    case 4: return &select_loop<std::uint32_t>;
    case 8: return &select_loop<std::uint64_t>;
    case 16: return &select_pairs;
    default: return nullptr;
  }
}

BMX_ISA_END
}  // namespace bmx
