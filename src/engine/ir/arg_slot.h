// ArgSlot: one value bound to a kernel argument.
#pragma once

#include <variant>

#include "../buffer/buffer.h"

namespace bmx {

/// A scalar broadcast over every element, or a shared buffer read element-wise.
using ArgSlot = std::variant<double, BufferRef>;

}  // namespace bmx
