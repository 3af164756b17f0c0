// Exact sums of a table's columns, going row by row through the table: a
// lane of the fast front a column, a superaccumulator a column only for the
// tiles of columns whose lanes spill.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "exact_front.h"
#include "exact_sum.h"

namespace bmx {

/// The running exact sums of the columns of a table, each as an ExactSum of
/// that column would hold it. Rows go in as blocks of a table, from any
/// number of ExactColumns merged in any order: the sums do not depend on it.
class ExactColumns {
 public:
  /// Empty sums of `columns` columns.
  explicit ExactColumns(std::size_t columns);

  /// Adds `rows` rows of the columns, `row_stride` values apart from `first`.
  /// For double and float values.
  template <class Value>
  void add(const Value* first, std::size_t rows, std::size_t row_stride);
  /// Adds the sums `other` (of as many columns) holds, exactly.
  void merge(const ExactColumns& other);
  /// Each column's exact sum, rounded once to `format` as ExactSum::round_as
  /// rounds it, into the element of `out` (of one a column) of its column.
  void round(std::span<double> out, SumFormat format) const;

  /// Columns a block of rows goes through at a time: their terms stay in the
  /// first-level cache, and a row's part is long enough to fetch ahead.
  static constexpr std::size_t kBlockColumns = 1024;

 private:
  /// Adds a block of rows to the lanes; those not `counted` (another
  /// ExactColumns' terms) change the sums but neither counts nor zeros.
  template <class Value>
  void add_block(const Value* first, std::size_t rows, std::size_t row_stride, bool counted);
  /// The superaccumulators of a tile's columns, made on its first use.
  std::span<ExactSum> tile_sums(std::size_t tile);

  std::size_t columns_;
  std::vector<double> high_;
  std::vector<double> low_;
  /// What a block's tiles spilled, and how each tile's lanes took the block.
  std::vector<double> spill_;
  std::vector<FrontBlock> outcomes_;
  /// The columns' superaccumulators, for every column once any tile spills.
  std::vector<ExactSum> sums_;
  /// Whether each tile's columns have values in sums_ or counted there.
  std::vector<bool> exact_;
  /// Rows added, and the rows of each tile that went to sums_ alone, counted there.
  std::size_t rows_ = 0;
  std::vector<std::size_t> untaken_;
  /// Whether each column took a value other than -0.0 through the lanes.
  std::vector<bool> not_negative_zero_;
  /// Columns not yet known to hold a value other than -0.0: once none is, no value is looked at.
  std::size_t unknown_;
};

}  // namespace bmx
