// The lanes of a table's columns, their spills, merges and one rounding.
#include "exact_columns.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>

#include "isa_loops.h"

namespace bmx {

namespace {

/// Rows of a block of a wide table of values of `value_bytes` bytes: a tile
/// reads a line of each (of doubles; half of one of floats, so twice the
/// rows), and the processor fetches ahead on only so many lines at once. A
/// narrow table's tile reads its rows one after another, as many as
/// kFrontColumnBlock values.
std::size_t block_rows(std::size_t columns, std::size_t value_bytes) {
  if (columns <= kFrontTile) return kFrontColumnBlock / std::max<std::size_t>(1, columns);
  const std::size_t scale = sizeof(double) / value_bytes;
  return std::clamp<std::size_t>(kFrontColumnBlock * scale / columns, 1, kFrontWideRows * scale);
}

/// The front of the active level, for each type of value.
FrontBlock front_columns(double* high, double* low, const double* first, std::size_t rows, std::size_t stride,
                         std::size_t columns, double* spill, std::size_t spill_stride, FrontBlock* outcomes) {
  return active_loops().exact_front->columns_f64(high, low, first, rows, stride, columns, spill, spill_stride,
                                                 outcomes);
}
FrontBlock front_columns(double* high, double* low, const float* first, std::size_t rows, std::size_t stride,
                         std::size_t columns, double* spill, std::size_t spill_stride, FrontBlock* outcomes) {
  return active_loops().exact_front->columns_f32(high, low, first, rows, stride, columns, spill, spill_stride,
                                                 outcomes);
}

/// The exact sum high + low of two finite terms, of values that were all -0.0
/// (and at least one) when `negative_zero`, rounded as ExactSum::round_as rounds.
double round_terms(double high, double low, bool negative_zero, SumFormat format) {
  // Knuth's TwoSum: sum + error is high + low exactly, and sum is it rounded once to a double.
  const double sum = high + low;
  const double low_part = sum - high;
  const double error = (high - (sum - low_part)) + (low - low_part);
  if (sum == 0.0) return negative_zero ? -0.0 : 0.0;
  switch (format) {
    case SumFormat::Float64:
      return sum;
    case SumFormat::Float32: {
      // Rounded to odd, the double keeps more than two bits below a float's
      // last place and a sticky bit, so rounding it to a float rounds the
      // exact sum once: S. Boldo and G. Melquiond, "When double rounding is
      // odd" (2005).
      auto bits = std::bit_cast<std::uint64_t>(sum);
      if (error != 0.0 && std::isfinite(sum) && (bits & 1) == 0) bits += (error > 0.0) == (sum > 0.0) ? 1 : -1;
      return static_cast<float>(std::bit_cast<double>(bits));
    }
    case SumFormat::Float16:
      break;
  }
  ExactSum exact;
  exact.add(high);
  exact.add(low);
  return exact.round_as(format);
}

}  // namespace

ExactColumns::ExactColumns(std::size_t columns)
    : columns_(columns),
      high_(columns),
      low_(columns),
      spill_(block_rows(std::min(columns, kBlockColumns), sizeof(float)) * std::min(columns, kBlockColumns)),
      outcomes_((columns + kFrontTile - 1) / kFrontTile),
      exact_(outcomes_.size()),
      untaken_(outcomes_.size()),
      not_negative_zero_(columns),
      unknown_(columns) {}

std::span<ExactSum> ExactColumns::tile_sums(std::size_t tile) {
  if (sums_.empty()) sums_.resize(columns_);
  exact_[tile] = true;
  const std::size_t column = tile * kFrontTile;
  return std::span(sums_).subspan(column, std::min(kFrontTile, columns_ - column));
}

template <class Value>
void ExactColumns::add_block(const Value* first, std::size_t rows, std::size_t row_stride, bool counted) {
  static_assert(kBlockColumns % kFrontTile == 0);
  for (std::size_t begin = 0; begin < columns_; begin += kBlockColumns) {
    const std::size_t width = std::min(kBlockColumns, columns_ - begin);
    const Value* const block = first + begin;
    FrontBlock* const outcomes = outcomes_.data() + begin / kFrontTile;
    const FrontBlock worst = front_columns(high_.data() + begin, low_.data() + begin, block, rows, row_stride, width,
                                           spill_.data(), width, outcomes);
    for (std::size_t tile = 0; worst != FrontBlock::kHeld && tile * kFrontTile < width; ++tile) {
      const std::size_t column = tile * kFrontTile;
      if (outcomes[tile] == FrontBlock::kSpilled) {
        ExactSum::add_columns_exactly(spill_.data() + column, rows, width, tile_sums(begin / kFrontTile + tile), false);
      } else if (outcomes[tile] == FrontBlock::kNotFinite) {
        ExactSum::add_columns_exactly(block + column, rows, row_stride, tile_sums(begin / kFrontTile + tile), counted);
        if (counted) untaken_[begin / kFrontTile + tile] += rows;
      }
    }
    if (!counted) continue;
    for (std::size_t column = 0; unknown_ != 0 && column < width; ++column) {
      // A tile that went to its superaccumulators counted its zeros there.
      if (not_negative_zero_[begin + column] || outcomes[column / kFrontTile] == FrontBlock::kNotFinite ||
          !any_not_negative_zero(block + column, rows, row_stride)) {
        continue;
      }
      not_negative_zero_[begin + column] = true;
      --unknown_;
    }
  }
}

template <class Value>
void ExactColumns::add(const Value* first, std::size_t rows, std::size_t row_stride) {
  const std::size_t step = block_rows(std::min(columns_, kBlockColumns), sizeof(Value));
  for (std::size_t row = 0; row < rows; row += step) {
    add_block(first + row * row_stride, std::min(step, rows - row), row_stride, true);
  }
  rows_ += rows;
}

template void ExactColumns::add(const double*, std::size_t, std::size_t);
template void ExactColumns::add(const float*, std::size_t, std::size_t);

void ExactColumns::merge(const ExactColumns& other) {
  // The other's terms are two more rows of the table, counted by the other.
  add_block(other.high_.data(), 1, columns_, false);
  add_block(other.low_.data(), 1, columns_, false);
  for (std::size_t tile = 0; tile < outcomes_.size(); ++tile) {
    if (!other.exact_[tile]) continue;
    const std::span<ExactSum> sums = tile_sums(tile);
    for (std::size_t i = 0; i < sums.size(); ++i) sums[i].merge(other.sums_[tile * kFrontTile + i]);
    untaken_[tile] += other.untaken_[tile];
  }
  rows_ += other.rows_;
  for (std::size_t column = 0; column < columns_; ++column) {
    if (not_negative_zero_[column] || !other.not_negative_zero_[column]) continue;
    not_negative_zero_[column] = true;
    --unknown_;
  }
}

void ExactColumns::round(std::span<double> out, SumFormat format) const {
  for (std::size_t column = 0; column < columns_; ++column) {
    const std::size_t tile = column / kFrontTile;
    if (!exact_[tile]) {
      out[column] = round_terms(high_[column], low_[column], rows_ != 0 && !not_negative_zero_[column], format);
      continue;
    }
    ExactSum sum = sums_[column];
    const std::array terms{high_[column], low_[column]};
    ExactSum::add_columns_exactly(terms.data(), 2, 1, std::span(&sum, 1), false);
    sum.count_ += rows_ - untaken_[tile];
    if (not_negative_zero_[column]) sum.flags_ |= ExactSum::kNotNegativeZero;
    out[column] = sum.round_as(format);
  }
}

}  // namespace bmx
