// The superaccumulator's additions, its carries and its one rounding.
#include "exact_sum.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace bmx {

namespace {

__extension__ using Wide = unsigned __int128;
using Chunks = std::array<std::int64_t, ExactSum::kChunks>;

constexpr int kChunkBits = 32;
constexpr std::int64_t kChunkMask = (std::int64_t{1} << kChunkBits) - 1;
constexpr std::uint64_t kMantissaMask = (std::uint64_t{1} << 52) - 1;
constexpr std::uint64_t kNegativeZeroBits = std::uint64_t{1} << 63;
/// The weight of the lowest bit of chunk 0: the least subnormal double's.
constexpr int kLowestWeight = -1074;

/// A format's precision (its significand's bits, the hidden one included), its
/// greatest exponent and the exponent of its least subnormal.
struct Format {
  int precision;
  int max_exponent;
  int lowest;
};
constexpr Format kFormats[] = {{11, 15, -24}, {24, 127, -149}, {53, 1023, -1074}};

void propagate(Chunks& chunks) {
  for (std::size_t i = 0; i + 1 < chunks.size(); ++i) {
    chunks[i + 1] += chunks[i] >> kChunkBits;
    chunks[i] &= kChunkMask;
  }
}

/// Adds the finite double of `bits` to its two chunks; its exponent field is
/// not all ones.
inline void add_finite(Chunks& chunks, std::uint64_t bits) {
  const auto field = static_cast<unsigned>(bits >> 52) & 0x7FF;
  // A subnormal's weight is that of the least normal exponent, without the hidden bit.
  const std::uint64_t mantissa = (bits & kMantissaMask) | (std::uint64_t{field != 0} << 52);
  const unsigned position = field - (field != 0);
  const unsigned shift = position % kChunkBits;
  const auto low = static_cast<std::int64_t>((mantissa << shift) & kChunkMask);
  const auto high = static_cast<std::int64_t>(mantissa >> (kChunkBits - shift));
  const auto negative = static_cast<std::int64_t>(bits >> 63);
  // x ^ -1 is -x - 1, so (x ^ -negative) + negative is -x when negative.
  chunks[position / kChunkBits] += (low ^ -negative) + negative;
  chunks[position / kChunkBits + 1] += (high ^ -negative) + negative;
}

}  // namespace

ExactSum::ExactSum(const State& state) : count_(static_cast<std::uint64_t>(state[kChunks])),
                                         flags_(static_cast<std::uint8_t>(state[kChunks + 1])) {
  std::copy_n(state.begin(), kChunks, chunks_.begin());
}

void ExactSum::add(std::span<const double> values) {
  bool not_negative_zero = false;
  std::size_t next = 0;
  while (next < values.size()) {
    const std::size_t run = std::min<std::size_t>(values.size() - next, kCarryEvery - since_carry_);
    for (const double value : values.subspan(next, run)) {
      const auto bits = std::bit_cast<std::uint64_t>(value);
      not_negative_zero |= bits != kNegativeZeroBits;
      if ((~bits & (std::uint64_t{0x7FF} << 52)) == 0) [[unlikely]] {
        add_special(bits);
      } else {
        add_finite(chunks_, bits);
      }
    }
    next += run;
    since_carry_ += static_cast<std::uint32_t>(run);
    if (since_carry_ == kCarryEvery) carry();
  }
  count_ += values.size();
  if (not_negative_zero) flags_ |= kNotNegativeZero;
}

void ExactSum::add(std::span<const float> values) {
  // A block of doubles at a time: the conversion is exact, and the double
  // loop is the one that carries.
  constexpr std::size_t kBlock = 512;
  std::array<double, kBlock> block;
  for (std::size_t next = 0; next < values.size(); next += kBlock) {
    const auto part = values.subspan(next, std::min(kBlock, values.size() - next));
    std::copy(part.begin(), part.end(), block.begin());
    add(std::span<const double>(block.data(), part.size()));
  }
}

void ExactSum::merge(const ExactSum& other) {
  carry();
  Chunks theirs = other.chunks_;
  propagate(theirs);
  for (std::size_t i = 0; i < kChunks; ++i) chunks_[i] += theirs[i];
  carry();
  count_ += other.count_;
  flags_ |= other.flags_;
}

void ExactSum::carry() {
  propagate(chunks_);
  since_carry_ = 0;
}

void ExactSum::add_special(std::uint64_t bits) {
  if ((bits & kMantissaMask) != 0) {
    flags_ |= kNan;
  } else {
    flags_ |= (bits >> 63) != 0 ? kNegativeInf : kPositiveInf;
  }
}

ExactSum::State ExactSum::state() const {
  Chunks chunks = chunks_;
  propagate(chunks);
  State state{};
  std::copy(chunks.begin(), chunks.end(), state.begin());
  state[kChunks] = static_cast<std::int64_t>(count_);
  state[kChunks + 1] = flags_;
  return state;
}

double ExactSum::round_as(SumFormat sum_format) const {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  if ((flags_ & kNan) != 0 || (flags_ & (kPositiveInf | kNegativeInf)) == (kPositiveInf | kNegativeInf)) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  if ((flags_ & kPositiveInf) != 0) return kInf;
  if ((flags_ & kNegativeInf) != 0) return -kInf;
  // The magnitude in chunks of [0, 2^32) (the top one unbounded) and its sign.
  Chunks chunks = chunks_;
  propagate(chunks);
  const bool negative = chunks.back() < 0;
  if (negative) {
    for (std::int64_t& chunk : chunks) chunk = -chunk;
    propagate(chunks);
  }
  int top = static_cast<int>(kChunks) - 1;
  while (top >= 0 && chunks[static_cast<std::size_t>(top)] == 0) --top;
  if (top < 0) return count_ > 0 && (flags_ & kNotNegativeZero) == 0 ? -0.0 : 0.0;
  const double signed_inf = negative ? -kInf : kInf;
  if (top == static_cast<int>(kChunks) - 1) return signed_inf;

  // The three chunks from the top as one integer, the lower ones as a sticky bit.
  const auto at = [&](int i) { return i < 0 ? std::uint64_t{0} : static_cast<std::uint64_t>(chunks[static_cast<std::size_t>(i)]); };
  const Wide upper = (Wide{at(top)} << 64) | (Wide{at(top - 1)} << 32) | at(top - 2);
  const bool sticky = std::any_of(chunks.begin(), chunks.begin() + std::max(0, top - 2), [](std::int64_t c) { return c != 0; });
  const int weight = kChunkBits * (top - 2) + kLowestWeight;
  const int exponent = 64 + std::bit_width(at(top)) - 1 + weight;

  const Format format = kFormats[static_cast<std::size_t>(sum_format)];
  int ulp = std::max(exponent - (format.precision - 1), format.lowest);
  // At least 64 - 52 bits below the ulp, as the top chunk is not zero.
  const int drop = ulp - weight;
  std::uint64_t kept = 0;
  // From 97 bits down, the whole value is under half the least subnormal.
  if (drop < 97) {
    kept = static_cast<std::uint64_t>(upper >> drop);
    const Wide rest = upper - (Wide{kept} << drop);
    const Wide half = Wide{1} << (drop - 1);
    if (rest > half || (rest == half && (sticky || (kept & 1) != 0))) ++kept;
  }
  if (kept == std::uint64_t{1} << format.precision) {
    kept >>= 1;
    ++ulp;
  }
  if (kept != 0 && ulp + format.precision - 1 > format.max_exponent) return signed_inf;
  const double magnitude = std::ldexp(static_cast<double>(kept), ulp);
  return negative ? -magnitude : magnitude;
}

}  // namespace bmx
