// The package's private entry points of typed evaluation: programs whose
// values have NumPy's element types, compiled and run over arrays of any
// strides.
#pragma once

#include "py.h"

namespace bmx::py {

PyMethodDef* typed_functions();

/// Sets `_DTYPES` (the element type names by code) and `_TYPED_OPS` (the
/// code of every operation by name).
bool add_typed_names(PyObject* module);

}  // namespace bmx::py
