// The computation bodies that a submission runs: a map of a kernel over bound
// arguments, and a reduction of one buffer.
#pragma once

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

/// execute_reduce(content.buffer, content.op).
Result<double> execute_reduce(const ReduceContent& content);

}  // namespace bmx
