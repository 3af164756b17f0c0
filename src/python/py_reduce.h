// The package's private entry points for reductions of NumPy arrays: whole
// arrays at once, and the strict sum carried across the chunks of a chunked array.
#pragma once

#include "py.h"

namespace bmx::py {

/// The module functions `_reduce`, `_continue_sum` and `_finish_sum`, for add_functions().
PyMethodDef* reduce_functions();

/// Sets the module attribute `_REDUCTIONS`: the names of the reductions
/// `_reduce` computes, each at the position of its code. False with the
/// Python error set when it cannot be made.
bool add_reduction_names(PyObject* module);

}  // namespace bmx::py
