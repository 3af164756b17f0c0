// The private entry that reports and forces the instruction-set level of the
// engine's loops, so that tests and benchmarks compare every level on one
// machine.
#pragma once

#include "py.h"

namespace bmx::py {

/// The module function `_isa`, for add_functions().
PyMethodDef* isa_functions();

/// Sets the module attribute `_ISA_LEVELS`: the names of the levels this
/// processor supports, lowest first, each one that `_isa` takes.
bool add_isa_levels(PyObject* module);

}  // namespace bmx::py
