// Slot views and sources.
#include "slots.h"

namespace bmx {

std::vector<SlotView> make_slot_views(std::span<const ArgSlot> slots) {
  std::vector<SlotView> views;
  views.reserve(slots.size());
  for (const ArgSlot& slot : slots) {
    if (const BufferRef* buffer = std::get_if<BufferRef>(&slot)) {
      check(*buffer != nullptr, "buffer slot without a buffer");
      views.emplace_back((*buffer)->as_f64_slice());
    } else {
      views.emplace_back(std::nullopt);
    }
  }
  return views;
}

std::vector<SlotSource> make_slot_sources(std::span<const ArgSlot> slots, std::span<const SlotView> views,
                                          std::size_t n) {
  check(views.size() == slots.size(), "one slot view per slot");
  std::vector<SlotSource> sources;
  sources.reserve(slots.size());
  for (std::size_t s = 0; s < slots.size(); ++s) {
    if (const double* scalar = std::get_if<double>(&slots[s])) {
      sources.push_back({nullptr, *scalar});
      continue;
    }
    check(views[s].has_value(), "buffer slot without a view");
    check(views[s]->size() >= n, "element index beyond the slot's view");
    sources.push_back({views[s]->data(), 0.0});
  }
  return sources;
}

double read_slot(std::span<const ArgSlot> slots, std::span<const SlotView> views, std::uint64_t slot,
                 std::size_t i) {
  check(slot < slots.size(), "slot index beyond the slots");
  if (const double* scalar = std::get_if<double>(&slots[slot])) return *scalar;
  check(slot < views.size() && views[slot].has_value(), "buffer slot without a view");
  const std::span<const double> view = *views[slot];
  check(i < view.size(), "element index beyond the slot's view");
  return view[i];
}

}  // namespace bmx
