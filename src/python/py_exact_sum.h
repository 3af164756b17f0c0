// The package's private entry points for exact sums: of rows or columns, and of states
// that chunks of an array (or pieces of an expression's values) add into and
// that merge, rounded once at the end.
#pragma once

#include "py.h"

#include "module_part.h"

namespace bmx::py {

/// The module functions `_exact_sum_rows`, `_exact_sum_columns`,
/// `_exact_sum_add`, `_exact_sum_merge` and `_exact_sum_round`; `_SUM_FORMATS`,
/// the names of the formats a sum rounds to, each at the position of its
/// code, and `_EXACT_SUM_WORDS`, the int64 words of a state.
extern const ModulePart kExactSumPart;

}  // namespace bmx::py
