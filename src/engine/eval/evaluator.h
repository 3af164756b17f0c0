// The evaluation of compiled kernels over n elements.
//
// eval_flat and eval_tree are the per-element reference engines: they define
// the results. evaluate() computes the same values with the block engines
// (flat_block_eval.h, tree_block_eval.h) and spreads large inputs over the
// work pool; the references stay for tests and for reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "../buffer/buffer.h"
#include "../ir/arg_slot.h"
#include "../ir/compiled_kernel.h"

namespace bmx {

/// A buffer slot's F64 view; empty for a scalar slot, whose double is used for
/// every element.
using SlotView = std::optional<std::span<const double>>;

/// Inputs shorter than this run on the calling thread without any pool job.
inline constexpr std::size_t kSequentialThreshold = 4096;
/// Flat kernels are never split into pool pieces shorter than this, so each
/// piece's one stack allocation serves at least that many elements.
inline constexpr std::size_t kMinFlatPiece = 1024;
/// Tree kernels may be split down to single elements.
inline constexpr std::size_t kMinTreePiece = 1;

/// One view per slot, in slot order. A buffer whose dtype is not F64 is an
/// internal failure ("as_f64_slice requires F64 dtype"), as is a null handle.
std::vector<SlotView> make_slot_views(std::span<const ArgSlot> slots);

/// A slot as the block engines read it: the buffer's data from element 0, or
/// (values null) the scalar that stands for every element.
struct SlotSource {
  const double* values;
  double scalar;
};

/// One source per slot, for runs over elements below n. A buffer slot without
/// a view, or with a view shorter than n, is an internal failure.
std::vector<SlotSource> make_slot_sources(std::span<const ArgSlot> slots, std::span<const SlotView> views,
                                          std::size_t n);

/// The value of slot `slot` at element i: the scalar itself, or element i of
/// the buffer's view. A slot index out of range, a buffer slot without a view
/// or an element index beyond the view are internal failures.
double read_slot(std::span<const ArgSlot> slots, std::span<const SlotView> views, std::uint64_t slot,
                 std::size_t i);

/// The value of the stack program at element i. `stack` is emptied first and
/// holds the values while the program runs; reserving it with max_depth places
/// keeps it from growing. A pop of an empty stack or a program that ends with
/// an empty stack is an internal failure.
double eval_flat(const FlatKernel& kernel, std::size_t i, std::span<const ArgSlot> slots,
                 std::span<const SlotView> views, std::vector<double>& stack);

/// The value at element i of the subtree rooted at `node_index`. A Select
/// evaluates its condition, then only the else-branch when the condition is
/// 0.0 of either sign and only the then-branch otherwise (NaN included).
/// Iterative: trees of any depth are safe.
double eval_tree(const ExprTree& tree, std::size_t node_index, std::size_t i, std::span<const ArgSlot> slots,
                 std::span<const SlotView> views);

/// The values of elements 0 to n-1, in index order, with the engine the
/// kernel's form calls for. Below kSequentialThreshold elements everything
/// runs on the calling thread; from it on, the range is split over the work
/// pool (pieces of at least kMinFlatPiece elements for a flat kernel) and the
/// caller blocks until every piece has written its slice. The values never
/// depend on the schedule. n = 0 gives an empty vector. The slots must have
/// been checked by common_length with result n; breaches are internal failures.
F64Vec evaluate(const CompiledKernel& compiled, std::size_t n, std::span<const ArgSlot> slots);

}  // namespace bmx
