// What one binding file adds to the module: its functions and the names that
// go with them. Each file describes itself with one part; the module body
// registers every part in one loop.
#pragma once

#include "py.h"

namespace bmx::py {

struct ModulePart {
  /// The file's module functions, as a null-terminated method table.
  PyMethodDef* (*functions)();
  /// Sets the module attributes the functions go with (names, limits), or
  /// nullptr where there are none; false with a Python exception set.
  bool (*add_names)(PyObject* module);
};

}  // namespace bmx::py
