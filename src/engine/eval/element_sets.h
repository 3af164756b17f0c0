// A set of a block's elements: dense (no offset list, the offsets 0 .. count-1,
// whose loops stay contiguous and vectorise) or the offsets a Select's branch
// took. Shared by the tree walk and each level's tree loops.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../isa/isa_namespace.h"

namespace bmx {
BMX_ISA_BEGIN

/// Calls fn(offset) for each element of the set, in order.
template <class Fn>
void for_each_offset(const std::uint32_t* offsets, std::size_t count, Fn fn) {
  if (offsets == nullptr) {
    for (std::size_t k = 0; k < count; ++k) fn(k);
  } else {
    for (std::size_t k = 0; k < count; ++k) fn(offsets[k]);
  }
}

BMX_ISA_END
}  // namespace bmx
