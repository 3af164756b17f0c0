// Finding the repeated subtrees of a tree kernel (one with a Select), so that
// the lazy tree evaluator computes each of them once where that is sound.
// Flat kernels get the same from their graph of distinct subtrees
// (flatten_sharing), as no branch limits where a value may serve.
//
// Two subtrees are repeats when they are structurally equal: same tags,
// operator codes, constant bit patterns and slots, child by child, whether
// the expression shared one node or built equal ones apart. Every operator is
// a pure function of its operands, so a repeat's value is that of its first
// occurrence, bit for bit.
#pragma once

#include <cstdint>
#include <vector>

#include "../expr/expr_node.h"

namespace bmx {

/// What the compiled program does with one node of the tree.
enum class NodeRole : std::uint8_t {
  /// Evaluated as usual, its value used once.
  Plain,
  /// Evaluated as usual, and its value kept for later repeats.
  Compute,
  /// A repeat of an earlier Compute node: its kept value is used instead.
  Reuse,
  /// Inside a Reuse node's subtree: never evaluated.
  Skipped,
};

/// The roles of a tree's nodes, indexed like tree.nodes().
struct SubtreeSharing {
  std::vector<NodeRole> roles;
  /// For a Reuse node: the index of the Compute node it repeats; otherwise 0.
  std::vector<std::uint32_t> partner;
};

/// The roles of a tree's nodes: the first occurrence, in post-order, of a
/// repeated non-leaf subtree is a Compute node, and a later occurrence is a
/// Reuse node of it, its own subtree Skipped, when every element that
/// evaluates the repeat also evaluated the first occurrence: when no Select
/// branch holds the first occurrence without also holding the repeat. So a
/// value computed in a branch serves repeats in that branch only, and one
/// computed outside every branch serves repeats anywhere after it. Leaves are
/// always Plain (reading them again costs nothing). Linear in the number of
/// nodes and iterative, so trees of any depth are safe.
SubtreeSharing find_shared_subtrees(const ExprTree& tree);

}  // namespace bmx
