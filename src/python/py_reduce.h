// The package's private entry points for reductions of NumPy arrays: whole
// arrays at once, and rows.
#pragma once

#include "py.h"

#include <cstddef>
#include <optional>
#include <span>

#include "arg_binder.h"
#include "buffer_view.h"
#include "module_part.h"

namespace bmx::py {

/// The module functions `_reduce`, `_reduce_rows` and `_reduce_integer_rows`;
/// and `_REDUCTIONS`, the names of the reductions `_reduce` computes, each at
/// the position of its code.
extern const ModulePart kReducePart;

/// The elements of argument `index`, a writable, aligned, contiguous float64
/// array with one element per row of the `count` values in `values` and no
/// byte in common with them, held through `view`; nullopt with the argument's
/// error set otherwise.
std::optional<std::span<double>> borrow_row_results(const BoundArgs& args, std::size_t index, std::size_t count,
                                                   std::span<const std::byte> values, BufferView& view);

}  // namespace bmx::py
