// CompiledKernel: what the compile cache stores for one tree structure.
#pragma once

#include <memory>
#include <variant>

#include "../expr/expr_node.h"
#include "flat_kernel.h"
#include "shared_subtrees.h"

namespace bmx {

/// A tree containing a Select as the lazy tree evaluator runs it: the tree
/// itself (a copy) and which of its repeated subtrees are computed once.
struct TreeKernel {
  ExprTree tree;
  SubtreeSharing sharing;
};

/// A stack program, or, for trees containing a Select, a TreeKernel.
/// Immutable; shared between the cache and executions.
using CompiledKernel = std::variant<FlatKernel, TreeKernel>;
using CompiledKernelRef = std::shared_ptr<const CompiledKernel>;

/// A TreeKernel when the tree contains a Select, else flatten_sharing's
/// program.
CompiledKernel compile_kernel(const ExprTree& tree);

}  // namespace bmx
