// The package's private entry points: kernels evaluated over borrowed NumPy
// memory into the caller's output array, and the thread count.
#pragma once

#include "py.h"

namespace bmx::py {

/// The module functions `_compile`, `_evaluate_into`, `_get_num_threads` and
/// `_set_num_threads`, for add_functions().
PyMethodDef* evaluate_functions();

}  // namespace bmx::py
