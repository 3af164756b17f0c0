// Reductions of one buffer to one double.
#pragma once

#include <cstdint>
#include <span>

#include "../buffer/buffer.h"
#include "../result.h"

namespace bmx {

/// The reductions, each with its code: the numbers are part of the data
/// model. One table gives the enumeration and the names messages print.
#define BMX_REDUCE_OPS(X) \
  X(Sum, 0) X(Mean, 1) X(Min, 2) X(Max, 3) X(Count, 4) X(Variance, 5) X(Std, 6) X(Prod, 7)

#define BMX_ENUMERATOR(name, code) name = code,
enum class ReduceOp : std::uint8_t { BMX_REDUCE_OPS(BMX_ENUMERATOR) };
#undef BMX_ENUMERATOR

/// The enumerator name ("Sum", "Mean", ...), as error messages print it.
const char* reduce_op_name(ReduceOp op);

/// The reduction of the buffer's values, with the result of a sequential walk
/// in index order: Sum adds from -0.0 strictly left to right; Mean is that
/// sum over the count; Min and Max start from +inf / -inf, replace the
/// running value only on a strict comparison (so of -0.0 and 0.0 the first
/// stays) and give the first NaN met, if any; Count is the element count;
/// Variance is the population variance by two passes (sum of squared
/// deviations from the Mean, from -0.0, over the count); Std its square root;
/// Prod multiplies from 1.0 strictly left to right.
/// Sum, Mean, Variance, Std and Prod run on the calling thread, in that order;
/// large Min and Max run on the work pool too, with the same bits for every
/// thread count. An empty buffer gives EmptyCollection "cannot {op name}
/// empty buffer". Callable from any thread.
Result<double> execute_reduce(const BufferRef& buffer, ReduceOp op);

/// The same reduction over borrowed memory, which the caller keeps alive and
/// unchanged during the call; the same values and the same errors.
Result<double> reduce_values(std::span<const double> values, ReduceOp op);

/// Min and Max of the values together, each with the bits reduce_values
/// gives it, in one pass over memory, on the work pool when large. An empty
/// span gives EmptyCollection "cannot Min empty buffer".
struct Extremes {
  double least;
  double greatest;
};
Result<Extremes> reduce_min_max(std::span<const double> values);

/// Reduces each row of `values`, which holds out.size() rows of equal length
/// one after another, into the element of `out` of its index: the bits of
/// reduce_values over that row alone. Rows are spread over the work pool, and
/// each is reduced on one thread, so every thread count gives the same bits.
/// Rows of no element give reduce_values' EmptyCollection error, with nothing
/// written. `values` and `out` must not overlap and `out` must not be empty
/// unless `values` is; the caller keeps both alive during the call. Any thread.
Result<void> reduce_rows(std::span<const double> values, std::span<double> out, ReduceOp op);

/// A strict left-to-right sum in progress: the running total (from -0.0, as
/// Sum starts) and how many elements went into it.
struct SumCarry {
  double total = -0.0;
  std::uint64_t count = 0;
};

/// Adds `values` to the carry strictly left to right. Chaining the chunks of
/// an array in order from SumCarry{} gives exactly the bits of Sum over the
/// whole array, whatever the chunking, empty chunks included. Any thread.
SumCarry continue_sum(SumCarry carry, std::span<const double> values);

/// The Sum (or Mean: total over count) of a finished chain, bit-identical to
/// the reduction of the whole array; a chain over no element gives
/// EmptyCollection "cannot Sum empty buffer" ("cannot Mean empty buffer").
Result<double> finish_sum(SumCarry carry);
Result<double> finish_mean(SumCarry carry);

}  // namespace bmx
