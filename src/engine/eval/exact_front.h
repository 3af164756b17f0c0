// The fast front of the exact sums, after S. Collange, D. Defour, S. Graillat
// and R. Iakymchuk, "Full-speed deterministic bit-accurate parallel
// floating-point summation" (2015): lanes of two-term floating-point
// expansions take the values with error-free additions, and only what the two
// terms cannot hold goes to the superaccumulator. The sum is always exactly
// the superaccumulator's plus every term's, so it rounds to the same bits
// whatever the lanes, the blocks or the instructions.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "../isa/isa_namespace.h"

namespace bmx {

/// The lanes of a run of values: enough independent additions to hide their
/// latency, few enough for the registers.
inline constexpr std::size_t kFrontLanes = 8;
/// Rows (one value a lane) a block of the front takes at most.
inline constexpr std::size_t kFrontRows = 128;
/// Values a block of the front's columns takes, unless a row is longer: its
/// spill stays in the level-two cache.
inline constexpr std::size_t kFrontColumnBlock = 8192;
/// Columns of a tile of the column front: their terms stay in registers
/// while the tile goes down a block's rows.
inline constexpr std::size_t kFrontTile = 16;
/// Rows of a block of a wide table's columns: a tile reads a cache line of
/// each, and the processor fetches ahead on only so many lines at once.
inline constexpr std::size_t kFrontWideRows = 16;

template <std::size_t kLanes>
struct FrontLanes {
  std::array<double, kLanes> high{};
  std::array<double, kLanes> low{};
};

/// What a block left: the lanes alone, values to spill too, or nothing usable.
enum class FrontBlock : std::uint8_t { kHeld, kSpilled, kNotFinite };

/// Whether any of `count` values, `stride` apart from `first`, is other than -0.0.
template <class Value>
bool any_not_negative_zero(const Value* first, std::size_t count, std::size_t stride) {
  for (std::size_t i = 0; i < count; ++i) {
    const double value = static_cast<double>(first[i * stride]);
    if (value != 0.0 || !std::signbit(value)) return true;
  }
  return false;
}

/// The front at each instruction level, compiled with that level's loops: a
/// block of a run (add_front_block, spilling when `keep`) and a block of a
/// table's columns (add_front_columns), for double and float values.
struct ExactFrontLoops {
  FrontBlock (*block_f64)(FrontLanes<kFrontLanes>& lanes, const double* first, std::size_t rows, double* spill,
                          bool keep);
  FrontBlock (*block_f32)(FrontLanes<kFrontLanes>& lanes, const float* first, std::size_t rows, double* spill,
                          bool keep);
  FrontBlock (*columns_f64)(double* high, double* low, const double* first, std::size_t rows, std::size_t stride,
                            std::size_t columns, double* spill, std::size_t spill_stride, FrontBlock* outcomes);
  FrontBlock (*columns_f32)(double* high, double* low, const float* first, std::size_t rows, std::size_t stride,
                            std::size_t columns, double* spill, std::size_t spill_stride, FrontBlock* outcomes);
};

BMX_ISA_BEGIN

#if defined(__AVX512F__)
inline constexpr std::size_t kFrontVectorBytes = 64;
#elif defined(__AVX__)
inline constexpr std::size_t kFrontVectorBytes = 32;
#else
inline constexpr std::size_t kFrontVectorBytes = 16;
#endif
/// A vector of lanes, as wide as the level's registers.
using FrontVector = double __attribute__((vector_size(kFrontVectorBytes)));
using FrontVectorBits = std::int64_t __attribute__((vector_size(kFrontVectorBytes)));
inline constexpr std::size_t kFrontVectorLanes = kFrontVectorBytes / sizeof(double);

/// `sum` + `error` is exactly a + b (Knuth's TwoSum, which needs no order of
/// magnitudes), for finite a and b whose sum does not overflow; lane by lane
/// for pairs.
template <class T>
void two_sum(T a, T b, T& sum, T& error) {
  sum = a + b;
  const T b_part = sum - a;
  error = (a - (sum - b_part)) + (b - b_part);
}

/// Whether `spill`'s `count` values are finite. A NaN, an infinity or an
/// overflow makes a term NaN or infinite, and then the TwoSum that added it
/// leaves a NaN to spill: a block whose spill is finite (or none) kept every
/// term finite.
inline bool spill_finite(const double* spill, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!std::isfinite(spill[i])) return false;
  }
  return true;
}

/// Vectors of `kBytes` bytes of floats and of their bits, for lanes of as
/// many doubles. GCC keeps a size that depends on a template's parameter on a
/// typedef, not on an alias.
template <std::size_t kBytes>
struct FloatVectors {
  typedef float Narrow __attribute__((vector_size(kBytes)));
  typedef std::uint32_t Bits __attribute__((vector_size(kBytes)));
};

/// Rows of floats a lane sums in a double before its terms take the sum (see
/// sum_float_run).
inline constexpr std::size_t kFloatRun = 64;

/// Adds lane by lane the `rows` (at most kFloatRun) rows of `Lane`'s count of
/// floats, `stride` apart from `first`, to `sums` (a vector of doubles, zero
/// on entry), and whether every addition was exact. A float is an integer
/// below 2^24 times 2^(e - 150), e its exponent field (at least 1), so a run
/// whose nonzero values' exponent fields span at most 29 - log2(kFloatRun)
/// sums to multiples of 2^(e_min - 150) below 2^53 of them: a double holds
/// every partial sum. The span is found from the values' bits, the least
/// nonzero one less one (which a zero wraps to the greatest); infinities and
/// NaNs are outside it.
template <class Lane>
bool sum_float_run(Lane& sums, const float* first, std::size_t rows, std::size_t stride) {
  constexpr std::size_t kCount = sizeof(Lane) / sizeof(double);
  using Narrow = typename FloatVectors<kCount * sizeof(float)>::Narrow;
  using Bits = typename FloatVectors<kCount * sizeof(float)>::Bits;
  Bits widest{};
  Bits narrowest = widest - 1;
  for (std::size_t row = 0; row < rows; ++row) {
    Narrow narrow;
    std::memcpy(&narrow, first + row * stride, sizeof(narrow));
    const Bits magnitude = reinterpret_cast<Bits>(narrow) & 0x7FFFFFFFU;
    widest = widest > magnitude ? widest : magnitude;
    narrowest = narrowest < magnitude - 1 ? narrowest : magnitude - 1;
    sums += __builtin_convertvector(narrow, Lane);
  }
  // Each lane sums its own values, so each is exact on its own span.
  constexpr std::uint32_t kSpan = 29 - std::bit_width(kFloatRun - 1);
  const auto wide = (widest >= 0x7F800000U) | ((widest >> 23) > (narrowest >> 23) + kSpan);
  std::int32_t any = 0;
  for (std::size_t lane = 0; lane < kCount; ++lane) any |= wide[lane];
  return any == 0;
}

/// Takes the `rows` rows in order, each by `take_row(row)`; with kRuns, each
/// run of up to kFloatRun rows that `sum_run(sums, row, run)` finds exact is
/// one row of those sums instead, by `take(sums)`.
template <bool kRuns, class Sums, class SumRun, class Take, class TakeRow>
void take_rows(std::size_t rows, const SumRun& sum_run, const Take& take, const TakeRow& take_row) {
  for (std::size_t row = 0; row < rows;) {
    if constexpr (kRuns) {
      const std::size_t run = std::min(kFloatRun, rows - row);
      Sums sums{};
      if (sum_run(sums, row, run)) {
        take(sums);
        row += run;
        continue;
      }
      for (const std::size_t end = row + run; row < end; ++row) take_row(row);
    } else {
      take_row(row++);
    }
  }
}

/// Adds `rows` (at most kFrontRows) rows of kLanes values one after another
/// from `first` to `lanes`, value j of a row to lane j. What the two terms
/// cannot hold goes to `spill`, kLanes a row, when `kKeep`; without it, a
/// block that spills must be taken again, from the lanes as they were, with
/// it (spills are rare, and storing none saves a store a value). After a
/// NaN, an infinity or an overflow (which spill NaN, see spill_finite) the
/// lanes mean nothing: the caller keeps a copy.
template <bool kKeep, std::size_t kLanes, class Value>
FrontBlock add_front_block(FrontLanes<kLanes>& lanes, const Value* first, std::size_t rows, double* spill) {
  static_assert(kLanes % kFrontVectorLanes == 0);
  constexpr std::size_t kVectors = kLanes / kFrontVectorLanes;
  // Local copies in vectors, which the compiler keeps in registers.
  std::array<FrontVector, kVectors> high;
  std::array<FrontVector, kVectors> low;
  std::memcpy(high.data(), lanes.high.data(), sizeof(high));
  std::memcpy(low.data(), lanes.low.data(), sizeof(low));
  std::array<FrontVectorBits, kVectors> spilled{};
  // The rows of values the terms took, each spilling to its own row.
  std::size_t taken = 0;
  const auto take = [&](const std::array<FrontVector, kVectors>& values) {
    for (std::size_t vector = 0; vector < kVectors; ++vector) {
      FrontVector error;
      two_sum(high[vector], values[vector], high[vector], error);
      FrontVector rest;
      two_sum(low[vector], error, low[vector], rest);
      if constexpr (kKeep) std::memcpy(spill + taken * kLanes + vector * kFrontVectorLanes, &rest, sizeof(rest));
      // -0.0 spills nothing, but is no harm to add either.
      spilled[vector] |= reinterpret_cast<FrontVectorBits>(rest);
    }
    ++taken;
  };
  const auto take_row = [&](std::size_t row) {
    const Value* const line = first + row * kLanes;
    std::array<FrontVector, kVectors> values;
    for (std::size_t vector = 0; vector < kVectors; ++vector) {
      if constexpr (std::is_same_v<Value, double>) {
        std::memcpy(&values[vector], line + vector * kFrontVectorLanes, sizeof(FrontVector));
      } else {
        // Every float is a double exactly.
        using Narrow = float __attribute__((vector_size(kFrontVectorBytes / 2)));
        Narrow narrow;
        std::memcpy(&narrow, line + vector * kFrontVectorLanes, sizeof(narrow));
        values[vector] = __builtin_convertvector(narrow, FrontVector);
      }
    }
    take(values);
  };
  // A run of floats whose sums are exact is one row of those sums.
  const auto sum_run = [&](auto& sums, std::size_t row, std::size_t run) {
    bool exact = true;
    for (std::size_t vector = 0; vector < kVectors; ++vector) {
      exact = sum_float_run(sums[vector], first + row * kLanes + vector * kFrontVectorLanes, run, kLanes) && exact;
    }
    return exact;
  };
  take_rows<std::is_same_v<Value, float>, std::array<FrontVector, kVectors>>(rows, sum_run, take, take_row);
  // The rows a run's one row of sums stands for spill nothing.
  if constexpr (kKeep) std::fill(spill + taken * kLanes, spill + rows * kLanes, 0.0);
  std::memcpy(lanes.high.data(), high.data(), sizeof(high));
  std::memcpy(lanes.low.data(), low.data(), sizeof(low));
  std::int64_t any_spilled = 0;
  for (const FrontVectorBits vector : spilled) {
    for (std::size_t lane = 0; lane < kFrontVectorLanes; ++lane) any_spilled |= vector[lane];
  }
  if (any_spilled == 0) return FrontBlock::kHeld;
  if (kKeep && !spill_finite(spill, rows * kLanes)) return FrontBlock::kNotFinite;
  return FrontBlock::kSpilled;
}

/// A tile's values: kFrontTile doubles, in as many of the level's registers as they take.
using TileVector = double __attribute__((vector_size(kFrontTile * sizeof(double))));
using TileVectorBits = std::int64_t __attribute__((vector_size(kFrontTile * sizeof(double))));

/// The front down the `rows` rows, `stride` values apart, of one tile of
/// `Lane` (a TileVector, or a double for a column of its own) from `first`,
/// its terms in `high` and `low`: the bits of all it spilled, each spilled
/// value into `spill` (rows `spill_stride` apart) when kKeep.
template <bool kKeep, class Lane, class Value>
std::uint64_t add_front_tile(Lane& high, Lane& low, const Value* first, std::size_t rows, std::size_t stride,
                             double* spill, std::size_t spill_stride) {
  constexpr bool kWide = !std::is_same_v<Lane, double>;
  Lane spilled{};
  // The rows of values the terms took, each spilling to its own row.
  std::size_t taken = 0;
  const auto take = [&](Lane value) {
    Lane error;
    two_sum(high, value, high, error);
    Lane rest;
    two_sum(low, error, low, rest);
    if constexpr (kKeep) std::memcpy(spill + taken * spill_stride, &rest, sizeof(rest));
    if constexpr (kWide) {
      const TileVectorBits bits = reinterpret_cast<TileVectorBits>(spilled) | reinterpret_cast<TileVectorBits>(rest);
      spilled = reinterpret_cast<Lane>(bits);
    } else {
      spilled = std::bit_cast<double>(std::bit_cast<std::uint64_t>(spilled) | std::bit_cast<std::uint64_t>(rest));
    }
    ++taken;
  };
  const auto take_row = [&](std::size_t row) {
    const Value* const line = first + row * stride;
    Lane value;
    if constexpr (!kWide) {
      value = static_cast<double>(*line);
    } else if constexpr (std::is_same_v<Value, double>) {
      std::memcpy(&value, line, sizeof(value));
    } else {
      // Every float is a double exactly.
      using Narrow = float __attribute__((vector_size(kFrontTile * sizeof(float))));
      Narrow narrow;
      std::memcpy(&narrow, line, sizeof(narrow));
      value = __builtin_convertvector(narrow, Lane);
    }
    take(value);
  };
  // A run of floats whose sums are exact is one row of those sums.
  const auto sum_run = [&](auto& sums, std::size_t row, std::size_t run) {
    return sum_float_run(sums, first + row * stride, run, stride);
  };
  take_rows<kWide && std::is_same_v<Value, float>, Lane>(rows, sum_run, take, take_row);
  if constexpr (kKeep) {
    // The rows a run's one row of sums stands for spill nothing.
    for (std::size_t row = taken; row < rows; ++row) std::fill_n(spill + row * spill_stride, sizeof(Lane) / sizeof(double), 0.0);
  }
  if constexpr (kWide) {
    std::uint64_t any = 0;
    const TileVectorBits bits = reinterpret_cast<TileVectorBits>(spilled);
    for (std::size_t lane = 0; lane < kFrontTile; ++lane) any |= static_cast<std::uint64_t>(bits[lane]);
    return any;
  } else {
    return std::bit_cast<std::uint64_t>(spilled);
  }
}

/// One tile of add_front_columns from `column`: kLanes lanes of `Lane` (a
/// TileVector, or a double a column for the last few columns; `lanes` of
/// them in use). Its terms are written back unless it met a NaN, an infinity
/// or an overflow.
template <class Lane, std::size_t kLanes, class Value>
FrontBlock add_front_columns_tile(double* high, double* low, const Value* first, std::size_t rows, std::size_t stride,
                                  double* spill, std::size_t spill_stride, std::size_t column, std::size_t lanes) {
  constexpr std::size_t kLaneColumns = sizeof(Lane) / sizeof(double);
  std::array<Lane, kLanes> tile_high;
  std::array<Lane, kLanes> tile_low;
  const auto take = [&]<bool kKeep>(std::size_t lane) {
    const std::size_t at = column + lane * kLaneColumns;
    std::memcpy(&tile_high[lane], high + at, sizeof(Lane));
    std::memcpy(&tile_low[lane], low + at, sizeof(Lane));
    return add_front_tile<kKeep>(tile_high[lane], tile_low[lane], first + at, rows, stride, spill + at, spill_stride);
  };
  std::uint64_t spilled = 0;
  for (std::size_t lane = 0; lane < lanes; ++lane) spilled |= take.template operator()<false>(lane);
  if (spilled != 0) {
    // Taken again from the terms as they were, keeping what spills.
    for (std::size_t lane = 0; lane < lanes; ++lane) take.template operator()<true>(lane);
    for (std::size_t row = 0; row < rows; ++row) {
      if (!spill_finite(spill + row * spill_stride + column, lanes * kLaneColumns)) return FrontBlock::kNotFinite;
    }
  }
  for (std::size_t lane = 0; lane < lanes; ++lane) {
    std::memcpy(high + column + lane * kLaneColumns, &tile_high[lane], sizeof(Lane));
    std::memcpy(low + column + lane * kLaneColumns, &tile_low[lane], sizeof(Lane));
  }
  return spilled != 0 ? FrontBlock::kSpilled : FrontBlock::kHeld;
}

/// The front of many lanes at once, a lane a column of a table, a tile of
/// kFrontTile columns at a time (the last tile may be narrower): `high` and
/// `low` hold a term of each of `columns` lanes; the block is `rows` rows of
/// `columns` values, each `stride` values after the one before from
/// `first`. Each tile's outcome goes to `outcomes` (one a tile), and what a
/// kSpilled tile spilled to its columns of `spill`, `rows` rows
/// `spill_stride` apart; a kNotFinite tile's terms are left as they were.
/// Returns the worst of the outcomes, kHeld when every tile held.
template <class Value>
FrontBlock add_front_columns(double* high, double* low, const Value* first, std::size_t rows, std::size_t stride,
                             std::size_t columns, double* spill, std::size_t spill_stride, FrontBlock* outcomes) {
  const std::size_t whole = columns / kFrontTile;
  FrontBlock worst = FrontBlock::kHeld;
  for (std::size_t tile = 0; tile < whole; ++tile) {
    outcomes[tile] = add_front_columns_tile<TileVector, 1>(high, low, first, rows, stride, spill, spill_stride,
                                                        tile * kFrontTile, 1);
    worst = std::max(worst, outcomes[tile]);
  }
  const std::size_t rest = columns % kFrontTile;
  if (rest == 0) return worst;
  outcomes[whole] = add_front_columns_tile<double, kFrontTile>(high, low, first, rows, stride, spill, spill_stride,
                                                               whole * kFrontTile, rest);
  return std::max(worst, outcomes[whole]);
}

BMX_ISA_END
}  // namespace bmx
