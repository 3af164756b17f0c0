// The length check over a kernel's slots.
#include "arg_slot.h"

#include <optional>
#include <string>

namespace bmx {

namespace {

/// `length_of(slot)` is the slot's element count, or nullopt for a scalar.
template <class Slot, class LengthOf>
Result<std::uint64_t> common_length_of(std::span<const Slot> slots, LengthOf length_of) {
  std::optional<std::uint64_t> reference;
  for (const Slot& slot : slots) {
    const std::optional<std::uint64_t> count = length_of(slot);
    if (!count) continue;
    if (!reference) {
      reference = count;
    } else if (*count != *reference) {
      return ComputeError::shape("buffer length mismatch: " + std::to_string(*reference) + " vs " +
                                 std::to_string(*count));
    }
  }
  if (!reference) return ComputeError::arg("no buffer arguments provided");
  return *reference;
}

}  // namespace

Result<std::uint64_t> common_length(std::span<const ArgSlot> slots) {
  return common_length_of(slots, [](const ArgSlot& slot) -> std::optional<std::uint64_t> {
    const auto* buffer = std::get_if<BufferRef>(&slot);
    if (buffer == nullptr) return std::nullopt;
    return (*buffer)->element_count();
  });
}

Result<std::uint64_t> common_borrowed_length(std::span<const BorrowedSlot> slots) {
  return common_length_of(slots, [](const BorrowedSlot& slot) -> std::optional<std::uint64_t> {
    const auto* values = std::get_if<std::span<const double>>(&slot);
    if (values == nullptr) return std::nullopt;
    return values->size();
  });
}

}  // namespace bmx
