// _RuntimeModule: asarray, go and chan.
#pragma once

#include "py.h"

#include "py_class.h"

namespace bmx::py {

LazyType& runtime_module_type();

}  // namespace bmx::py
