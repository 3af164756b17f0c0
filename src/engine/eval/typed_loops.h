// The loops of typed evaluation: one per operation and operand type that the
// engine computes, found by run-time codes when a program is compiled.
#pragma once

#include <cstddef>

#include "../ir/dtype.h"
#include "typed_ops.h"

namespace bmx {

/// Writes op(left[k], right[k]) (op(left[k]) for one operand) to out[k] for
/// k < n; the arrays hold the loop's types. False when an element has no
/// value (an integer to a negative integer power); the rest are written.
using TypedLoop = bool (*)(void* out, const void* left, const void* right, std::size_t n);

/// Converts n elements of one type into another, as NumPy's casts do.
using CastLoop = void (*)(void* out, const void* in, std::size_t n);

/// The loop of `op` over operands of `type`, at the active instruction-set
/// level; null when there is none.
TypedLoop find_loop(TypedOp op, ElementType type);

/// The conversion from `from` to `to`, at the active level.
CastLoop find_cast(ElementType from, ElementType to);

/// Writes where(cond[k], a[k], b[k]) for elements of `size` bytes, at the
/// active level; null for a size without a loop.
using SelectLoop = void (*)(void* out, const bool* cond, const void* a, const void* b, std::size_t n);
SelectLoop find_select(std::size_t size);

}  // namespace bmx
