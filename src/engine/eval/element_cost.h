// What one element of a program costs, in additions (the unit of the function
// table's cost columns), so that the range split (run_range.h) cuts pieces
// that hold about the same work whatever the expression: an element of
// `sin(x)*exp(-x)` weighs some forty of `2*x + y`.
#pragma once

#include <cstddef>

#include "../expr/expr_node.h"
#include "../ir/compiled_kernel.h"
#include "../ir/flat_kernel.h"

namespace bmx {

/// An element of a float64 operator's libm loop (its cost column).
std::size_t operation_cost(UnaryOp op);
std::size_t operation_cost(BinaryOp op);
std::size_t operation_cost(CompareOp op);

/// An element of a float64 stack program: the sum of its operations' costs,
/// reading values (arguments, constants, kept temporaries) costing nothing.
std::size_t element_cost(const FlatKernel& kernel);

/// An element of a tree with Selects: every node's cost once, a Select one,
/// and both of its branches (each computes only the elements that take it,
/// so this is the most an element costs).
std::size_t element_cost(const ExprTree& tree);

/// An element of whichever form the kernel has.
std::size_t element_cost(const CompiledKernel& compiled);

}  // namespace bmx
