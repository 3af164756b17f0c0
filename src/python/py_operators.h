// Elementwise functions by operator name: the package builds every function
// of its registry through these, so a new engine operator needs no method of
// its own on the facades.
#pragma once

#include "py.h"

namespace bmx::py {

/// The module functions `_unary` and `_binary`, for add_functions().
PyMethodDef* operator_functions();

/// Sets `_UNARY_OPS` and `_BINARY_OPS`: tuples of every operator's name, in
/// table order. False with a Python exception set on failure.
bool add_operator_names(PyObject* module);

}  // namespace bmx::py
