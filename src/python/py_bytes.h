// Expressions and kernel specs as bytes, for pickling.
#pragma once

#include "py.h"

namespace bmx::py {

/// The module functions defined here (_expr_to_bytes, _expr_from_bytes,
/// _kernel_spec_to_bytes, _kernel_spec_from_bytes), as a null-terminated method table.
PyMethodDef* bytes_functions();

}  // namespace bmx::py
