// The computation bodies that a submission runs: a map of a kernel over bound
// arguments, and a reduction of one buffer.
#pragma once

#include <span>
#include <string>
#include <unordered_map>

#include "../buffer/buffer.h"
#include "../expr/kernel_spec.h"
#include "../ir/arg_slot.h"
#include "../ir/kernel_cache.h"
#include "../result.h"
#include "../eval/reduce.h"

namespace bmx {

/// A kernel and its bindings by argument name.
struct MapContent {
  KernelSpec kernel;
  std::unordered_map<std::string, ArgSlot> bindings;
};

/// One buffer and the reduction to compute over it.
struct ReduceContent {
  BufferRef buffer;
  ReduceOp op;
};

/// Runs the map, stopping at the first failing step:
/// 1. ArgError "missing arg: y" or "missing args: x, y" (byte-wise sorted)
///    for arguments without a binding;
/// 2. ArgError "unexpected args: alpha, zeta" (sorted) for bindings of no
///    argument;
/// 3. binds the slots in argument order (no data is copied);
/// 4. gets the compiled kernel from the process-wide cache, so the kernel is
///    compiled and cached even when the next step fails;
/// 5. the length check of common_length (ShapeError or ArgError);
/// 6. evaluates all elements (an empty F64 buffer when there are none).
/// The result is a new one-dimensional F64 buffer. Runs on the calling thread,
/// holding no lock while evaluating; large maps use the work pool.
Result<BufferRef> execute_map(const MapContent& content);

/// execute_map with the compiled kernel taken from `cache` instead of the
/// process-wide one.
Result<BufferRef> execute_map(const MapContent& content, KernelCache& cache);

/// Runs the map of `kernel` over borrowed bindings into `out`, memory the
/// caller provides: steps 1 to 5 of execute_map with the same errors, then
/// ShapeError "output length mismatch: N vs M" (the inputs' length, then
/// out's) when out does not hold exactly the inputs' length, then the values
/// of every element into out. The borrowed memory must stay alive and
/// unchanged until the call returns; `out` may be exactly one input's memory,
/// and any other overlap is an internal failure. Runs on the calling thread,
/// holding no lock while evaluating; large maps use the work pool. Touches no
/// interpreter object.
Result<void> execute_map_into(const KernelSpec& kernel, const std::unordered_map<std::string, BorrowedSlot>& bindings,
                              std::span<double> out, KernelCache& cache = KernelCache::global());

/// execute_map_into with the slots already in argument order (one per name;
/// another count is an internal failure), for callers that bind by position:
/// steps 4 and 5, the output length, then the values.
Result<void> execute_kernel_into(const KernelSpec& kernel, std::span<const BorrowedSlot> slots, std::span<double> out,
                                 KernelCache& cache = KernelCache::global());

/// execute_reduce(content.buffer, content.op).
Result<double> execute_reduce(const ReduceContent& content);

}  // namespace bmx
