// The package's private entry points: kernels evaluated over borrowed NumPy
// memory into the caller's output array, and the thread count.
#pragma once

#include "py.h"

namespace bmx::py {

/// The module functions `_compile`, `_evaluate_into`, `_get_num_threads` and
/// `_set_num_threads`, for add_functions().
PyMethodDef* evaluate_functions();

/// Sets the module attribute `_MAX_THREADS`, the most threads `_set_num_threads`
/// takes, so that the package never restates the pool's limit.
bool add_thread_limit(PyObject* module);

}  // namespace bmx::py
