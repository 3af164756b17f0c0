// Reductions of bool and integer data, exact in 64 bits as NumPy's are.
#pragma once

#include <cstddef>

#include "../ir/dtype.h"
#include "reduce.h"

namespace bmx {

/// Reduces each of `rows` consecutive rows of `columns` elements of `type`
/// (bool or an integer type) into out[row]: Sum and Prod wrap in 64 bits
/// (they are associative, so every order gives these bits), Min and Max are
/// exact. `out` holds int64 for bool and signed types, uint64 for unsigned
/// ones. An empty row sums to 0 and multiplies to 1; Min and Max of an empty
/// row, and the other reductions, are an internal failure.
void reduce_integer_rows(const void* data, ElementType type, std::size_t rows, std::size_t columns, ReduceOp op,
                         void* out);

}  // namespace bmx
