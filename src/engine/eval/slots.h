// Slots as the engines read them: per-slot views of the bound buffers, and
// the sources the block engines take their operands from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "../ir/arg_slot.h"

namespace bmx {

/// A buffer slot's F64 view; empty for a scalar slot, whose double is used for
/// every element.
using SlotView = std::optional<std::span<const double>>;

/// One view per slot, in slot order. A buffer whose dtype is not F64 is an
/// internal failure ("as_f64_slice requires F64 dtype"), as is a null handle.
std::vector<SlotView> make_slot_views(std::span<const ArgSlot> slots);

/// A slot as the block engines read it: the buffer's data from element 0, or
/// (values null) the scalar that stands for every element.
struct SlotSource {
  const double* values;
  double scalar;
};

/// One source per slot, for runs over elements below n. A buffer slot without
/// a view, or with a view shorter than n, is an internal failure.
std::vector<SlotSource> make_slot_sources(std::span<const ArgSlot> slots, std::span<const SlotView> views,
                                          std::size_t n);

/// The value of slot `slot` at element i: the scalar itself, or element i of
/// the buffer's view. A slot index out of range, a buffer slot without a view
/// or an element index beyond the view are internal failures.
double read_slot(std::span<const ArgSlot> slots, std::span<const SlotView> views, std::uint64_t slot,
                 std::size_t i);

}  // namespace bmx
