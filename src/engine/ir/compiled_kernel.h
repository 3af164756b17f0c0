// CompiledKernel: what the compile cache stores for one tree structure.
#pragma once

#include <memory>
#include <variant>

#include "../expr/expr_graph.h"
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

/// A TreeKernel of the expanded tree when it contains a Select (std::bad_alloc
/// beyond 2^32 - 1 nodes), else flatten_sharing's program, which costs what
/// the distinct subtrees do.
CompiledKernel compile_kernel(const ExprGraph& tree);

}  // namespace bmx
