// TaskHandle: the Python view of one submission.
#pragma once

#include "py.h"

#include "py_class.h"

namespace bmx::py {

LazyType& task_handle_type();

}  // namespace bmx::py
