// The reduction algorithms.
#include "reduce.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "isa_loops.h"
#include "run_range.h"

namespace bmx {

namespace {

/// Min and Max of fewer elements run on the calling thread: below this the
/// hand-off to the pool costs about what a second core saves.
constexpr std::size_t kParallelExtremeThreshold = std::size_t{1} << 18;
/// Elements per piece of a parallel Min or Max (256 KiB): few enough pieces
/// that their partials cost nothing, enough for the pool to balance the load.
constexpr std::size_t kExtremePiece = std::size_t{1} << 15;

double sum(std::span<const double> values) { return continue_sum(SumCarry{}, values).total; }

double product(std::span<const double> values) {
  double running = 1.0;
  for (const double x : values) running *= x;
  return running;
}

ComputeError empty_error(ReduceOp op) {
  return ComputeError::empty_collection(std::string("cannot ") + reduce_op_name(op) + " empty buffer");
}

template <bool kMax>
bool improves(double x, double running) {
  return kMax ? x > running : x < running;
}

/// The running rule from `running`, which is not NaN: the first NaN met ends
/// the walk and is the result.
template <bool kMax>
double sequential_extreme(std::span<const double> values, double running) {
  for (const double x : values) {
    if (std::isnan(x)) return x;
    if (improves<kMax>(x, running)) running = x;
  }
  return running;
}

/// The sequential Min (or Max) rule over all values, by the scan of the
/// active level.
template <bool kMax>
double extreme(std::span<const double> values) {
  const IsaLoops& loops = active_loops();
  return (kMax ? loops.max_scan : loops.min_scan)(values.data(), values.size());
}

/// Elements Min and Max scan together a chunk at a time (16 KiB): the
/// second scan finds them in the first-level cache.
constexpr std::size_t kBothChunk = 2048;

/// `running` after the values of `partial`, by the sequential rules.
Extremes combine(Extremes running, Extremes partial) {
  return {sequential_extreme<false>(std::span(&partial.least, 1), running.least),
          sequential_extreme<true>(std::span(&partial.greatest, 1), running.greatest)};
}

constexpr double kInf = std::numeric_limits<double>::infinity();

/// Both rules over `values`, chunk by chunk. The first NaN of a chunk is
/// both its least and its greatest value, and ends the walk.
Extremes both_extremes(std::span<const double> values) {
  Extremes running{kInf, -kInf};
  for (std::size_t begin = 0; begin < values.size(); begin += kBothChunk) {
    const std::span<const double> chunk = values.subspan(begin, std::min(kBothChunk, values.size() - begin));
    const double least = extreme<false>(chunk);
    if (std::isnan(least)) return {least, least};
    running = combine(running, {least, extreme<true>(chunk)});
  }
  return running;
}

bool holds_nan(double partial) { return std::isnan(partial); }
bool holds_nan(Extremes partial) { return std::isnan(partial.least); }

/// `scan` of each piece of `values` on every core, in piece order. Each
/// piece's result follows the sequential rule on its own elements, and the
/// caller combines the partials in piece order by the same rule, which gives
/// the sequential result: the first piece holding a NaN holds the first NaN;
/// otherwise the least value wins, and when it is a zero, the earliest piece
/// whose result compares equal to it holds the first zero of all, since
/// every element before that piece is greater. Pieces after the first that
/// holds a NaN may be left unscanned (their partials are then the scan's of
/// no element).
template <class Scan>
auto pieces_on_pool(std::span<const double> values, const Scan& scan) {
  const std::size_t pieces = (values.size() + kExtremePiece - 1) / kExtremePiece;
  std::vector<decltype(scan(values))> partials(pieces);
  // The lowest piece known to hold a NaN: later pieces cannot change the
  // result and are skipped. Relaxed: only a hint, as the combination stops
  // at the first NaN piece, and every piece before it always runs.
  std::atomic<std::size_t> first_nan{pieces};
  WorkPool::global().run_pieces(pieces, 1, [&](std::size_t first, std::size_t last) {
    for (std::size_t p = first; p < last && p <= first_nan.load(std::memory_order_relaxed); ++p) {
      const std::size_t begin = p * kExtremePiece;
      partials[p] = scan(values.subspan(begin, std::min(kExtremePiece, values.size() - begin)));
      if (!holds_nan(partials[p])) continue;
      std::size_t known = first_nan.load(std::memory_order_relaxed);
      while (p < known && !first_nan.compare_exchange_weak(known, p, std::memory_order_relaxed)) {
      }
    }
  });
  return partials;
}

bool on_pool(std::span<const double> values) {
  return values.size() >= kParallelExtremeThreshold && may_use_pool();
}

/// extreme() on every core.
template <bool kMax>
double parallel_extreme(std::span<const double> values) {
  if (!on_pool(values)) return extreme<kMax>(values);
  const std::vector<double> partials = pieces_on_pool(values, extreme<kMax>);
  return sequential_extreme<kMax>(partials, kMax ? -kInf : kInf);
}

/// both_extremes() on every core.
Extremes parallel_both(std::span<const double> values) {
  if (!on_pool(values)) return both_extremes(values);
  Extremes running{kInf, -kInf};
  for (const Extremes partial : pieces_on_pool(values, both_extremes)) {
    if (holds_nan(partial)) return partial;
    running = combine(running, partial);
  }
  return running;
}

/// The reduction of a non-empty span; Min and Max on the pool when `parallel`.
double reduce_nonempty(std::span<const double> values, ReduceOp op, bool parallel) {
  const auto count = static_cast<double>(values.size());
  switch (op) {
    case ReduceOp::Sum: return sum(values);
    case ReduceOp::Mean: return sum(values) / count;
    case ReduceOp::Min: return parallel ? parallel_extreme<false>(values) : extreme<false>(values);
    case ReduceOp::Max: return parallel ? parallel_extreme<true>(values) : extreme<true>(values);
    case ReduceOp::Count: return count;
    case ReduceOp::Variance:
    case ReduceOp::Std: {
      const double mean = sum(values) / count;
      double squares = -0.0;
      for (const double x : values) squares += (x - mean) * (x - mean);
      const double variance = squares / count;
      return op == ReduceOp::Std ? std::sqrt(variance) : variance;
    }
    case ReduceOp::Prod: return product(values);
  }
  fail("unknown reduce operator code " + std::to_string(static_cast<int>(op)));
}

}  // namespace

const char* reduce_op_name(ReduceOp op) {
#define BMX_NAME_CASE(name, code) \
  case ReduceOp::name: return #name;
  switch (op) { BMX_REDUCE_OPS(BMX_NAME_CASE) }
#undef BMX_NAME_CASE
  fail("unknown reduce operator code " + std::to_string(static_cast<int>(op)));
}

Result<double> execute_reduce(const BufferRef& buffer, ReduceOp op) {
  check(buffer != nullptr, "reduction of a null buffer");
  // Before the dtype check of as_f64_slice, as an empty buffer of any dtype
  // is an empty collection.
  if (buffer->element_count() == 0) return empty_error(op);
  return reduce_values(buffer->as_f64_slice(), op);
}

Result<double> reduce_values(std::span<const double> values, ReduceOp op) {
  if (values.empty()) return empty_error(op);
  return reduce_nonempty(values, op, true);
}

Result<Extremes> reduce_min_max(std::span<const double> values) {
  if (values.empty()) return empty_error(ReduceOp::Min);
  return parallel_both(values);
}

Result<void> reduce_rows(std::span<const double> values, std::span<double> out, ReduceOp op) {
  if (out.empty()) return {};
  check(values.size() % out.size() == 0, "reduce_rows: the values do not split into the rows");
  const std::size_t row_length = values.size() / out.size();
  if (row_length == 0) return empty_error(op);
  // At least kSequentialThreshold values per piece, as run_range takes them.
  const std::size_t min_rows = std::max<std::size_t>(1, kSequentialThreshold / row_length);
  // Every row by the very code a whole array is reduced with, whichever
  // piece it falls in: which NaN an addition passes on depends on the code
  // the compiler makes of it, so a second way of folding rows could give
  // other NaN bits for other thread counts.
  const auto reduce_range = [&](std::size_t first, std::size_t last) {
    for (std::size_t row = first; row < last; ++row) {
      out[row] = reduce_nonempty(values.subspan(row * row_length, row_length), op, false);
    }
  };
  if (out.size() == 1) {
    out[0] = reduce_nonempty(values, op, true);
  } else if (values.size() < kSequentialThreshold || !may_use_pool()) {
    reduce_range(0, out.size());
  } else {
    WorkPool::global().run_pieces(out.size(), min_rows, reduce_range);
  }
  return {};
}

SumCarry continue_sum(SumCarry carry, std::span<const double> values) {
  double total = carry.total;
  for (const double x : values) total += x;
  return {total, carry.count + values.size()};
}

Result<double> finish_sum(SumCarry carry) {
  if (carry.count == 0) return empty_error(ReduceOp::Sum);
  return carry.total;
}

Result<double> finish_mean(SumCarry carry) {
  if (carry.count == 0) return empty_error(ReduceOp::Mean);
  return carry.total / static_cast<double>(carry.count);
}

}  // namespace bmx
