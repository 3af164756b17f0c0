// The superaccumulator's additions, its carries and its one rounding.
#include "exact_sum.h"

#include "../internal_failure.h"
#include "exact_front.h"
#include "isa_loops.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <vector>

namespace bmx {

namespace {

__extension__ using Wide = unsigned __int128;
using Chunks = ExactSum::Chunks;

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

/// Adds sign * magnitude * 2^(position - 1074) to the chunks position / 32
/// and the one above; magnitude < 2^53.
inline void add_scaled(Chunks& chunks, unsigned position, std::uint64_t magnitude, std::uint64_t bits) {
  const auto negative = static_cast<std::int64_t>(bits) >> 63;  // 0 or -1
  // x ^ -1 is -x - 1, so (x ^ negative) - negative is -x when negative.
  const std::int64_t mantissa = (static_cast<std::int64_t>(magnitude) ^ negative) - negative;
  const unsigned shift = position % kChunkBits;
  // mantissa * 2^shift is high * 2^32 + low, low in [0, 2^32).
  chunks[position / kChunkBits] += static_cast<std::int64_t>((static_cast<std::uint64_t>(mantissa) << shift) & kChunkMask);
  chunks[position / kChunkBits + 1] += mantissa >> (kChunkBits - shift);
}

/// The front of the active level, for each type of value.
FrontBlock front_block(FrontLanes<kFrontLanes>& lanes, const double* first, std::size_t rows, double* spill) {
  return active_loops().exact_front->block_f64(lanes, first, rows, spill, spill != nullptr);
}
FrontBlock front_block(FrontLanes<kFrontLanes>& lanes, const float* first, std::size_t rows, double* spill) {
  return active_loops().exact_front->block_f32(lanes, first, rows, spill, spill != nullptr);
}
/// Whether `bits` are a normal double's: exponent field neither 0 nor all ones.
inline bool is_normal(std::uint64_t bits) { return ((bits >> 52) & 0x7FF) - 1 < 0x7FE; }

/// Adds the normal double of `bits` to its chunks.
inline void add_normal(Chunks& chunks, std::uint64_t bits) {
  add_scaled(chunks, static_cast<unsigned>((bits >> 52) & 0x7FF) - 1, (bits & kMantissaMask) | (kMantissaMask + 1), bits);
}

}  // namespace

ExactSum::ExactSum(const State& state) : count_(static_cast<std::uint64_t>(state[kChunks])),
                                         flags_(static_cast<std::uint8_t>(state[kChunks + 1])) {
  std::copy_n(state.begin(), kChunks, chunks_.begin());
}

template <std::size_t kLaneCount, class Value>
void ExactSum::add_values(std::span<const Value> values) {
  std::array<Chunks, kLaneCount> lanes{};
  std::size_t negative_zeros = 0;
  const auto add_one = [&](Chunks& chunks, Value value) {
    const auto bits = std::bit_cast<std::uint64_t>(static_cast<double>(value));
    if (is_normal(bits)) [[likely]] {
      add_normal(chunks, bits);
    } else {
      add_unusual(chunks, bits, negative_zeros);
    }
  };
  for (std::size_t next = 0; next < values.size(); next += kCarryEvery * kLaneCount) {
    const std::size_t end = std::min(values.size(), next + kCarryEvery * kLaneCount);
    std::size_t i = next;
    for (; i + kLaneCount <= end; i += kLaneCount) {
      for (std::size_t lane = 0; lane < kLaneCount; ++lane) add_one(lanes[lane], values[i + lane]);
    }
    // One more in each of the first lanes, which keeps every lane to kCarryEvery additions.
    for (std::size_t lane = 0; i < end; ++i, ++lane) add_one(lanes[lane], values[i]);
    for (Chunks& lane : lanes) propagate(lane);
  }
  carry();
  for (const Chunks& lane : lanes) {
    for (std::size_t i = 0; i < kChunks; ++i) chunks_[i] += lane[i];
  }
  carry();
  finish_adding(values.size(), negative_zeros);
}

template <class Value>
void ExactSum::add_front(std::span<const Value> values) {
  constexpr std::size_t kBlock = kFrontRows * kFrontLanes;
  FrontLanes<kFrontLanes> lanes;
  // What the lanes spill and, at the end, their terms: chunks without a count.
  ExactSum spilled;
  std::array<double, kBlock> spill;
  std::size_t taken = 0;
  // Whether a value the front took was other than -0.0: once one was, no other is looked at.
  bool not_negative_zero = false;
  std::size_t next = 0;
  while (values.size() - next >= kFrontLanes) {
    const std::size_t size = std::min(kFrontRows, (values.size() - next) / kFrontLanes) * kFrontLanes;
    const Value* const block = values.data() + next;
    FrontLanes<kFrontLanes> trial = lanes;
    FrontBlock outcome = front_block(trial, block, size / kFrontLanes, nullptr);
    if (outcome == FrontBlock::kSpilled) {
      trial = lanes;
      outcome = front_block(trial, block, size / kFrontLanes, spill.data());
    }
    switch (outcome) {
      case FrontBlock::kSpilled:
        spilled.add_any(std::span<const double>(spill).first(size));
        [[fallthrough]];
      case FrontBlock::kHeld:
        lanes = trial;
        taken += size;
        not_negative_zero = not_negative_zero || any_not_negative_zero(block, size, 1);
        break;
      case FrontBlock::kNotFinite:
        add_any(values.subspan(next, size));
        break;
    }
    next += size;
  }
  add_any(values.subspan(next));
  spilled.add_any(std::span<const double>(lanes.high));
  spilled.add_any(std::span<const double>(lanes.low));
  add_chunks(spilled);
  count_ += taken;
  if (not_negative_zero) flags_ |= kNotNegativeZero;
}

template <class Value>
void ExactSum::add_columns_exactly(const Value* first, std::size_t rows, std::size_t row_stride,
                                   std::span<ExactSum> sums, bool counted) {
  // Each column's sum is carried between calls, and takes one value a row.
  std::vector<std::size_t> negative_zeros(sums.size());
  for (std::size_t next = 0; next < rows; next += kCarryEvery) {
    for (std::size_t row = next; row < std::min(rows, next + kCarryEvery); ++row) {
      const Value* const line = first + row * row_stride;
      for (std::size_t column = 0; column < sums.size(); ++column) {
        const auto bits = std::bit_cast<std::uint64_t>(static_cast<double>(line[column]));
        ExactSum& sum = sums[column];
        if (is_normal(bits)) [[likely]] {
          add_normal(sum.chunks_, bits);
        } else {
          sum.add_unusual(sum.chunks_, bits, negative_zeros[column]);
        }
      }
    }
    for (ExactSum& sum : sums) sum.carry();
  }
  if (!counted) return;
  for (std::size_t column = 0; column < sums.size(); ++column) sums[column].finish_adding(rows, negative_zeros[column]);
}

template void ExactSum::add_columns_exactly(const double*, std::size_t, std::size_t, std::span<ExactSum>, bool);
template void ExactSum::add_columns_exactly(const float*, std::size_t, std::size_t, std::span<ExactSum>, bool);

void ExactSum::add_unusual(Chunks& chunks, std::uint64_t bits, std::size_t& negative_zeros) {
  if ((bits >> 52 & 0x7FF) == 0x7FF) {
    add_special(bits);
  } else if ((bits & kMantissaMask) != 0) {
    // A subnormal has the least normal exponent's weight, without the hidden bit.
    add_scaled(chunks, 0, bits & kMantissaMask, bits);
  } else {
    negative_zeros += bits == kNegativeZeroBits;
  }
}

void ExactSum::finish_adding(std::size_t count, std::size_t negative_zeros) {
  count_ += count;
  if (negative_zeros != count) flags_ |= kNotNegativeZero;
}

template <class Value>
void ExactSum::add_any(std::span<const Value> values) {
  // Long runs go round kLanes accumulators, so that consecutive values of one
  // exponent do not wait for each other's additions to the same chunk; short
  // ones are not worth clearing and merging them.
  if (values.size() < kLanedFrom) {
    add_values<1>(values);
  } else {
    add_values<kLanes>(values);
  }
}

template <class Value>
void ExactSum::add_some(std::span<const Value> values) {
  // A short run is not worth the lanes' clearing and flushing.
  if (values.size() < kLanedFrom) {
    add_any(values);
  } else {
    add_front(values);
  }
}

void ExactSum::add(std::span<const double> values) { add_some(values); }

void ExactSum::add(std::span<const float> values) { add_some(values); }

void ExactSum::add_chunks(const ExactSum& other) {
  carry();
  Chunks theirs = other.chunks_;
  propagate(theirs);
  for (std::size_t i = 0; i < kChunks; ++i) chunks_[i] += theirs[i];
  carry();
}

void ExactSum::merge(const ExactSum& other) {
  add_chunks(other);
  count_ += other.count_;
  flags_ |= other.flags_;
}

void ExactSum::carry() { propagate(chunks_); }

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
