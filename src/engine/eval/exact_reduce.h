// Exact sums of whole buffers, of rows and of columns, of doubles or floats,
// on the work pool.
#pragma once

#include <span>

#include "../ir/compiled_kernel.h"
#include "exact_sum.h"
#include "slots.h"

namespace bmx {

/// Adds `values` into `sum`, spread over the work pool: each piece goes into
/// an ExactSum of its own and the pieces' sums are merged, exactly, so every
/// thread count and every split holds the same sum. Short inputs, and a
/// thread setting of 1, add on the calling thread. Any thread.
void add_on_pool(ExactSum& sum, std::span<const double> values);
void add_on_pool(ExactSum& sum, std::span<const float> values);

/// Adds the values of elements 0 to n-1 of `compiled` over `sources` (as
/// evaluate_into would write them) into `sum`, spread over the work pool as
/// add_on_pool spreads values: each thread evaluates a few blocks at a time
/// into memory of its own and adds them, so no more than those blocks of the
/// values are ever held. Each source holds n elements or is a scalar, in
/// memory the caller keeps alive and unchanged during the call. Any thread.
void add_kernel_on_pool(ExactSum& sum, const CompiledKernel& compiled, std::span<const SlotSource> sources,
                        std::size_t n);

/// The exact sum of each row of the values of elements 0 to n-1 of
/// `compiled` over `sources`, out.size() rows of equal length one after
/// another, rounded once to `format` into the element of `out` of its index:
/// the bits of exact_sum_rows over those values, never holding more than a
/// few blocks of them a thread. n must split into the rows; otherwise as
/// add_kernel_on_pool.
void exact_sum_kernel_rows(const CompiledKernel& compiled, std::span<const SlotSource> sources, std::size_t n,
                           std::span<double> out, SumFormat format);

/// The exact sum of each row of `values`, which holds out.size() rows of equal
/// length one after another, rounded once to `format` into the element of
/// `out` of its index. Rows are spread over the work pool (a single row over
/// its elements), each with the bits of its own exact sum. `values` must split
/// into the rows, and must not overlap `out`; the caller keeps both alive
/// during the call. Any thread.
void exact_sum_rows(std::span<const double> values, std::span<double> out, SumFormat format);
void exact_sum_rows(std::span<const float> values, std::span<double> out, SumFormat format);

/// The exact sum of each column of `values`, a table of rows of out.size()
/// values one after another, rounded once to `format` into the element of
/// `out` of its index: the bits of exact_sum_rows over the columns. Blocks of
/// columns are spread over the work pool. The same conditions as for rows.
void exact_sum_columns(std::span<const double> values, std::span<double> out, SumFormat format);
void exact_sum_columns(std::span<const float> values, std::span<double> out, SumFormat format);

}  // namespace bmx
