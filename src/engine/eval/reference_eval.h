// The per-element reference engines: they define what every kernel computes.
//
// eval_flat runs the stack program and eval_tree walks the tree, one element
// at a time. Production runs the block engines (evaluate.h); these stay as
// the oracles the tests compare them against, bit for bit.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "../ir/compiled_kernel.h"
#include "slots.h"

namespace bmx {

/// The value of the stack program at element i. `stack` is emptied first and
/// holds the values while the program runs; reserving it with max_depth places
/// keeps it from growing. A pop of an empty stack or a program that ends with
/// an empty stack is an internal failure, and so are temporaries: this engine
/// runs the reference form (flatten), one instruction per tree node.
double eval_flat(const FlatKernel& kernel, std::size_t i, std::span<const ArgSlot> slots,
                 std::span<const SlotView> views, std::vector<double>& stack);

/// The value at element i of the subtree rooted at `node_index`. A Select
/// evaluates its condition, then only the else-branch when the condition is
/// 0.0 of either sign and only the then-branch otherwise (NaN included).
/// Iterative: trees of any depth are safe.
double eval_tree(const ExprTree& tree, std::size_t node_index, std::size_t i, std::span<const ArgSlot> slots,
                 std::span<const SlotView> views);

}  // namespace bmx
