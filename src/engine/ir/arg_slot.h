// ArgSlot: one value bound to a kernel argument, and the length check over a
// kernel's slots.
#pragma once

#include <cstdint>
#include <span>
#include <variant>

#include "../buffer/buffer.h"
#include "../result.h"

namespace bmx {

/// A scalar broadcast over every element, or a shared buffer read element-wise.
using ArgSlot = std::variant<double, BufferRef>;

/// The common element count of the buffer slots: ShapeError "buffer length
/// mismatch: A vs B" at the first buffer that differs from the first one,
/// ArgError "no buffer arguments provided" when no slot is a buffer.
Result<std::uint64_t> common_length(std::span<const ArgSlot> slots);

}  // namespace bmx
