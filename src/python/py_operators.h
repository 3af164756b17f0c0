// Elementwise functions by operator name: the package builds every function
// of its registry through these, so a new engine operator needs no method of
// its own on the facades.
#pragma once

#include "py.h"

#include "module_part.h"

namespace bmx::py {

/// The module functions `_unary`, `_binary`, `_expr_record` and
/// `_expr_built`; `_UNARY_OPS` and `_BINARY_OPS`, tuples of every operator's
/// name in table order; and Expr's `__array_ufunc__` (None), by which NumPy
/// leaves mixed operations to Expr.
extern const ModulePart kOperatorsPart;

}  // namespace bmx::py
