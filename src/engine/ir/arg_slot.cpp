// The length check over a kernel's slots.
#include "arg_slot.h"

#include <optional>
#include <string>

namespace bmx {

Result<std::uint64_t> common_length(std::span<const ArgSlot> slots) {
  std::optional<std::uint64_t> reference;
  for (const ArgSlot& slot : slots) {
    const auto* buffer = std::get_if<BufferRef>(&slot);
    if (buffer == nullptr) continue;
    const std::uint64_t count = (*buffer)->element_count();
    if (!reference) {
      reference = count;
    } else if (count != *reference) {
      return ComputeError::shape("buffer length mismatch: " + std::to_string(*reference) + " vs " +
                                 std::to_string(count));
    }
  }
  if (!reference) return ComputeError::arg("no buffer arguments provided");
  return *reference;
}

}  // namespace bmx
