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
#include "slots.h"

namespace bmx {

/// Flat kernels are never split into pool pieces shorter than this many
/// cheap elements' worth (run_range.h), so that each piece's one stack
/// allocation serves at least that much work.
inline constexpr std::size_t kMinFlatPiece = 1024;
/// Tree kernels may be split down to single elements.
inline constexpr std::size_t kMinTreePiece = 1;

/// Writes the values of elements 0 to out.size()-1 into `out`, with the
/// engine the kernel's form calls for. Each source holds out.size() elements
/// (or is a scalar), in memory the caller keeps alive and unchanged until
/// the call returns. `out` may be exactly a source's memory (`x = 2*x + y`);
/// any other overlap with a source is an internal failure. Below
/// kSequentialThreshold elements, fewer as the kernel's elements cost more
/// (run_range), or with one thread set, everything runs on the calling
/// thread; otherwise the range is split over the work pool (pieces of at
/// least kMinFlatPiece elements' worth for a flat kernel) and the caller
/// blocks until every piece has written its slice. The values never depend on
/// the schedule or the thread count. A slot index beyond the sources is an
/// internal failure. Any thread; touches no interpreter object.
void evaluate_into(const CompiledKernel& compiled, std::span<const SlotSource> sources, std::span<double> out);

/// The values of elements 0 to n-1 in a new vector: evaluate_into over the
/// slots' buffers. n = 0 gives an empty vector. The slots must have been
/// checked by common_length with result n; breaches are internal failures.
F64Vec evaluate(const CompiledKernel& compiled, std::size_t n, std::span<const ArgSlot> slots);

}  // namespace bmx
