// Exact sums on every core: pieces summed apart, then merged.
#include "exact_reduce.h"

#include <algorithm>
#include <array>
#include <mutex>
#include <vector>

#include "../internal_failure.h"
#include "evaluate.h"
#include "exact_columns.h"
#include "flat_block_eval.h"
#include "run_range.h"
#include "tree_block_eval.h"

namespace bmx {

namespace {

/// Elements of a piece of one sum (256 KiB): each piece's ExactSum and its
/// merge cost about what a hundred elements do.
constexpr std::size_t kSumPiece = std::size_t{1} << 15;
/// Rows of a piece of a table's column sums at least: its merge costs what
/// two rows do.
constexpr std::size_t kMinColumnRows = 64;

template <class Value>
void add_any_on_pool(ExactSum& sum, std::span<const Value> values) {
  std::mutex merging;
  run_range(values.size(), kSumPiece, [&](std::size_t begin, std::size_t end) {
    ExactSum piece;
    piece.add(values.subspan(begin, end - begin));
    const std::lock_guard lock(merging);
    sum.merge(piece);
  });
}

/// Values of a kernel evaluated at a time before they are added (32 KiB):
/// they are still in the first-level cache when the sum reads them.
constexpr std::size_t kKernelRun = 4096;

/// Adds the program's values of elements [begin, end) to `sum`, a run at a
/// time through `values`, which holds a run.
template <class Program>
void add_program_range(ExactSum& sum, const Program& program, std::size_t begin, std::size_t end,
                       std::span<double> values) {
  for (std::size_t start = begin; start < end; start += values.size()) {
    const std::size_t length = std::min(values.size(), end - start);
    program.run(start, start + length, values.data());
    sum.add(std::span<const double>(values).first(length));
  }
}

template <class Program>
void add_program_on_pool(ExactSum& sum, const Program& program, std::size_t n, std::size_t min_piece) {
  std::mutex merging;
  run_range(n, std::max(min_piece, kSumPiece), [&](std::size_t begin, std::size_t end) {
    std::vector<double> values(std::min(kKernelRun, end - begin));
    ExactSum piece;
    add_program_range(piece, program, begin, end, values);
    const std::lock_guard lock(merging);
    sum.merge(piece);
  });
}

template <class Program>
void sum_program_rows(const Program& program, std::size_t n, std::span<double> out, SumFormat format) {
  const std::size_t row_length = n / out.size();
  if (out.size() == 1) {
    ExactSum sum;
    add_program_on_pool(sum, program, n, kSumPiece);
    out[0] = sum.round_as(format);
    return;
  }
  const auto sum_some = [&](std::size_t first, std::size_t last) {
    std::vector<double> values(std::min(kKernelRun, row_length));
    for (std::size_t row = first; row < last; ++row) {
      ExactSum sum;
      add_program_range(sum, program, row * row_length, (row + 1) * row_length, values);
      out[row] = sum.round_as(format);
    }
  };
  if (n < kSequentialThreshold || !may_use_pool()) {
    sum_some(0, out.size());
  } else {
    WorkPool::global().run_pieces(out.size(), std::max<std::size_t>(1, kSequentialThreshold / row_length), sum_some);
  }
}

template <class Value>
void sum_rows(std::span<const Value> values, std::span<double> out, SumFormat format) {
  if (out.empty()) return;
  check(values.size() % out.size() == 0, "exact sum: the values do not split into the rows");
  const std::size_t row_length = values.size() / out.size();
  if (out.size() == 1) {
    ExactSum sum;
    add_any_on_pool(sum, values);
    out[0] = sum.round_as(format);
    return;
  }
  const std::size_t min_rows = std::max<std::size_t>(1, kSequentialThreshold / std::max<std::size_t>(1, row_length));
  const auto sum_some = [&](std::size_t first, std::size_t last) {
    for (std::size_t row = first; row < last; ++row) {
      ExactSum sum;
      sum.add(values.subspan(row * row_length, row_length));
      out[row] = sum.round_as(format);
    }
  };
  // Whether to use the pool is a question of the elements, not of the rows.
  if (values.size() < kSequentialThreshold || !may_use_pool()) {
    sum_some(0, out.size());
  } else {
    WorkPool::global().run_pieces(out.size(), min_rows, sum_some);
  }
}

template <class Value>
void sum_columns(std::span<const Value> values, std::span<double> out, SumFormat format) {
  if (out.empty()) return;
  check(values.size() % out.size() == 0, "exact sum: the values do not split into the columns");
  const std::size_t columns = out.size();
  const std::size_t rows = values.size() / columns;
  // Pieces of whole rows, read one after another; each piece's sums merge
  // exactly, which costs what two of its rows do.
  ExactColumns total(columns);
  // Whether to use the pool is a question of the elements, not of the rows.
  if (values.size() < kSequentialThreshold || !may_use_pool()) {
    total.add(values.data(), rows, columns);
  } else {
    std::mutex merging;
    WorkPool::global().run_pieces(rows, std::max(kMinColumnRows, kSumPiece / columns),
                                  [&](std::size_t begin, std::size_t end) {
                                    ExactColumns piece(columns);
                                    piece.add(values.data() + begin * columns, end - begin, columns);
                                    const std::lock_guard lock(merging);
                                    total.merge(piece);
                                  });
  }
  total.round(out, format);
}

}  // namespace

void add_on_pool(ExactSum& sum, std::span<const double> values) { add_any_on_pool(sum, values); }
void add_on_pool(ExactSum& sum, std::span<const float> values) { add_any_on_pool(sum, values); }

void add_kernel_on_pool(ExactSum& sum, const CompiledKernel& compiled, std::span<const SlotSource> sources,
                        std::size_t n) {
  if (n == 0) return;
  std::vector<SlotSource> owned(sources.begin(), sources.end());
  if (const FlatKernel* flat = std::get_if<FlatKernel>(&compiled)) {
    add_program_on_pool(sum, FlatBlockProgram(*flat, std::move(owned), n), n, kMinFlatPiece);
  } else {
    const TreeKernel& tree = std::get<TreeKernel>(compiled);
    add_program_on_pool(sum, TreeBlockProgram(tree.tree, std::move(owned), n, &tree.sharing), n, kMinTreePiece);
  }
}

void exact_sum_kernel_rows(const CompiledKernel& compiled, std::span<const SlotSource> sources, std::size_t n,
                           std::span<double> out, SumFormat format) {
  if (out.empty()) return;
  check(n % out.size() == 0, "exact sum: the values do not split into the rows");
  if (n == 0) {
    std::fill(out.begin(), out.end(), ExactSum().round_as(format));
    return;
  }
  std::vector<SlotSource> owned(sources.begin(), sources.end());
  if (const FlatKernel* flat = std::get_if<FlatKernel>(&compiled)) {
    sum_program_rows(FlatBlockProgram(*flat, std::move(owned), n), n, out, format);
  } else {
    const TreeKernel& tree = std::get<TreeKernel>(compiled);
    sum_program_rows(TreeBlockProgram(tree.tree, std::move(owned), n, &tree.sharing), n, out, format);
  }
}

void exact_sum_rows(std::span<const double> values, std::span<double> out, SumFormat format) {
  sum_rows(values, out, format);
}
void exact_sum_rows(std::span<const float> values, std::span<double> out, SumFormat format) {
  sum_rows(values, out, format);
}

void exact_sum_columns(std::span<const double> values, std::span<double> out, SumFormat format) {
  sum_columns(values, out, format);
}
void exact_sum_columns(std::span<const float> values, std::span<double> out, SumFormat format) {
  sum_columns(values, out, format);
}

}  // namespace bmx
