// Where the binding reads the names of a call seen before: the namespaces the
// call's package function was given, or its caller's own variables, each
// name read alone.
#pragma once

#include <array>

#include "py.h"
#include "py_ref.h"

namespace bmx::py {

/// The value of `name` in `names` (a dict, a function's frame or another
/// mapping): false with no error when it has none there.
bool read_name(PyObject* names, PyObject* name, PyRef& value);

/// Where a call's names are read, as the package's `namespaces` finds them:
/// the dicts given (no local names for a None `local_dict` beside a
/// `global_dict`), the caller's globals behind a `local_dict` given alone, and
/// with neither the caller's own variables, a function's read from its frame.
/// The caller is that of the package function calling the binding. False with
/// no error when there is no caller to read.
bool call_namespaces(PyObject* local_dict, PyObject* global_dict, std::array<PyRef, 2>& spaces);

}  // namespace bmx::py
