// The map and reduce bodies.
#include "execute.h"

#include <algorithm>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "../eval/evaluate.h"

namespace bmx {

namespace {

/// The names sorted byte-wise and joined with ", ".
std::string sorted_list(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  std::string joined;
  for (const std::string& name : names) {
    if (!joined.empty()) joined += ", ";
    joined += name;
  }
  return joined;
}

/// Steps 1 to 3 of execute_map: the bindings matched to the names, in
/// argument order.
template <class Slot>
Result<std::vector<Slot>> bind_in_order(const std::vector<std::string>& names,
                                        const std::unordered_map<std::string, Slot>& bindings) {
  std::vector<std::string> missing;
  for (const std::string& name : names) {
    if (!bindings.contains(name)) missing.push_back(name);
  }
  if (missing.size() == 1) return ComputeError::arg("missing arg: " + missing.front());
  if (!missing.empty()) return ComputeError::arg("missing args: " + sorted_list(std::move(missing)));

  const std::unordered_set<std::string_view> known(names.begin(), names.end());
  std::vector<std::string> unexpected;
  for (const auto& binding : bindings) {
    if (!known.contains(binding.first)) unexpected.push_back(binding.first);
  }
  if (!unexpected.empty()) return ComputeError::arg("unexpected args: " + sorted_list(std::move(unexpected)));

  std::vector<Slot> slots;
  slots.reserve(names.size());
  for (const std::string& name : names) {
    const auto found = bindings.find(name);
    check(found != bindings.end(), "binding checked above is missing");
    slots.push_back(found->second);
  }
  return slots;
}

CompiledKernelRef compile(const KernelSpec& kernel, KernelCache& cache) {
  CompiledKernelRef compiled = cache.get_or_compile(kernel.tree);
  check(compiled != nullptr, "compile cache returned no kernel");
  return compiled;
}

}  // namespace

Result<BufferRef> execute_map(const MapContent& content) { return execute_map(content, KernelCache::global()); }

Result<BufferRef> execute_map(const MapContent& content, KernelCache& cache) {
  Result<std::vector<ArgSlot>> bound = bind_in_order(content.kernel.arg_names, content.bindings);
  if (!bound.ok()) return std::move(bound).error();
  const std::vector<ArgSlot> slots = std::move(bound).value();
  const CompiledKernelRef compiled = compile(content.kernel, cache);
  const Result<std::uint64_t> length = common_length(slots);
  if (!length.ok()) return length.error();
  const std::uint64_t n = length.value();
  if (n == 0) return Buffer::from_f64_vec(F64Vec());
  return Buffer::from_f64_vec(evaluate(*compiled, static_cast<std::size_t>(n), slots));
}

Result<void> execute_map_into(const KernelSpec& kernel, const std::unordered_map<std::string, BorrowedSlot>& bindings,
                              std::span<double> out, KernelCache& cache) {
  const Result<std::vector<BorrowedSlot>> slots = bind_in_order(kernel.arg_names, bindings);
  if (!slots.ok()) return slots.error();
  return execute_kernel_into(kernel, slots.value(), out, cache);
}

Result<void> execute_kernel_into(const KernelSpec& kernel, std::span<const BorrowedSlot> slots, std::span<double> out,
                                 KernelCache& cache) {
  check(slots.size() == kernel.arg_names.size(), "one slot per kernel argument");
  const CompiledKernelRef compiled = compile(kernel, cache);
  const Result<std::uint64_t> length = common_borrowed_length(slots);
  if (!length.ok()) return length.error();
  if (length.value() != out.size()) {
    return ComputeError::shape("output length mismatch: " + std::to_string(length.value()) + " vs " +
                               std::to_string(out.size()));
  }
  evaluate_into(*compiled, make_slot_sources(slots, out.size()), out);
  return {};
}

Result<double> execute_reduce(const ReduceContent& content) { return execute_reduce(content.buffer, content.op); }

}  // namespace bmx
