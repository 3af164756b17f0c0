// The hit path of a call seen before: the values' signature, the way kept
// for it, and that way run, without a line of the package's Python.
#pragma once

#include "py.h"

namespace bmx::py {

/// The module functions `_call_signature`, `_seen_call` and `_seen_text`, for add_functions().
PyMethodDef* call_functions();

}  // namespace bmx::py
