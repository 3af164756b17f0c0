// Expressions and kernel specs as bytes, for pickling.
#pragma once

#include "py.h"

#include "module_part.h"

namespace bmx::py {

/// The module functions `_expr_to_bytes`, `_expr_from_bytes`,
/// `_kernel_spec_to_bytes` and `_kernel_spec_from_bytes`.
extern const ModulePart kBytesPart;

}  // namespace bmx::py
