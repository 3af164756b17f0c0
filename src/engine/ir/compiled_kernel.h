// CompiledKernel: what the compile cache stores for one tree structure.
#pragma once

#include <memory>
#include <variant>

#include "../expr/expr_node.h"
#include "flat_kernel.h"

namespace bmx {

/// A stack program, or, for trees containing a Select, the tree itself for
/// the lazy tree evaluator. Immutable; shared between the cache and executions.
using CompiledKernel = std::variant<FlatKernel, ExprTree>;
using CompiledKernelRef = std::shared_ptr<const CompiledKernel>;

/// Tree (a copy) when the tree contains a Select, else the flattened program.
CompiledKernel compile_kernel(const ExprTree& tree);

}  // namespace bmx
