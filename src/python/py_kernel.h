// _KernelModule and the spec classes it produces: KernelSpec,
// MapSpec and ReduceSpec.
#pragma once

#include "py.h"

#include "runtime/execute.h"
#include "py_class.h"

namespace bmx::py {

LazyType& kernel_module_type();
LazyType& kernel_spec_type();
LazyType& map_spec_type();
LazyType& reduce_spec_type();

/// The content of a MapSpec object, or nullptr (no error set) for any other object.
const MapContent* as_map_spec(PyObject* object);

/// The content of a ReduceSpec object, or nullptr (no error set) for any other object.
const ReduceContent* as_reduce_spec(PyObject* object);

}  // namespace bmx::py
