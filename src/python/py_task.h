// TaskHandle: the Python view of one submission.
#pragma once

#include "py.h"

#include "py_class.h"
#include "runtime/task.h"

namespace bmx::py {

LazyType& task_handle_type();

/// A new TaskHandle object holding `task`.
PyObject* wrap_task(TaskRef task);

}  // namespace bmx::py
