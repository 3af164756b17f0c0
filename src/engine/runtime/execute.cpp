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
Result<std::vector<ArgSlot>> bind_in_order(const std::vector<std::string>& names,
                                           const std::unordered_map<std::string, ArgSlot>& bindings) {
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

  std::vector<ArgSlot> slots;
  slots.reserve(names.size());
  for (const std::string& name : names) {
    const auto found = bindings.find(name);
    check(found != bindings.end(), "binding checked above is missing");
    slots.push_back(found->second);
  }
  return slots;
}

}  // namespace

Result<BufferRef> execute_map(const MapContent& content) { return execute_map(content, KernelCache::global()); }

Result<BufferRef> execute_map(const MapContent& content, KernelCache& cache) {
  Result<std::vector<ArgSlot>> bound = bind_in_order(content.kernel.arg_names, content.bindings);
  if (!bound.ok()) return std::move(bound).error();
  const std::vector<ArgSlot> slots = std::move(bound).value();
  const CompiledKernelRef compiled = cache.get_or_compile(content.kernel.tree);
  check(compiled != nullptr, "compile cache returned no kernel");
  const Result<std::uint64_t> length = common_length(slots);
  if (!length.ok()) return length.error();
  const std::uint64_t n = length.value();
  if (n == 0) return Buffer::from_f64_vec(F64Vec());
  return Buffer::from_f64_vec(evaluate(*compiled, static_cast<std::size_t>(n), slots));
}

Result<double> execute_reduce(const ReduceContent& content) { return execute_reduce(content.buffer, content.op); }

}  // namespace bmx
