// The production evaluation of compiled kernels over n elements.
//
// evaluate() runs the block engine the kernel's form calls for
// (flat_block_eval.h, tree_block_eval.h) and spreads large inputs over the
// work pool. Its values are those of the reference engines
// (reference_eval.h), bit for bit, whatever the schedule.
#pragma once

#include <cstddef>
#include <span>

#include "../buffer/buffer.h"
#include "../ir/arg_slot.h"
#include "../ir/compiled_kernel.h"

namespace bmx {

/// Inputs shorter than this run on the calling thread without any pool job.
inline constexpr std::size_t kSequentialThreshold = 4096;
/// Flat kernels are never split into pool pieces shorter than this, so each
/// piece's one stack allocation serves at least that many elements.
inline constexpr std::size_t kMinFlatPiece = 1024;
/// Tree kernels may be split down to single elements.
inline constexpr std::size_t kMinTreePiece = 1;

/// The values of elements 0 to n-1, in index order, with the engine the
/// kernel's form calls for. Below kSequentialThreshold elements everything
/// runs on the calling thread; from it on, the range is split over the work
/// pool (pieces of at least kMinFlatPiece elements for a flat kernel) and the
/// caller blocks until every piece has written its slice. The values never
/// depend on the schedule. n = 0 gives an empty vector. The slots must have
/// been checked by common_length with result n; breaches are internal failures.
F64Vec evaluate(const CompiledKernel& compiled, std::size_t n, std::span<const ArgSlot> slots);

}  // namespace bmx
