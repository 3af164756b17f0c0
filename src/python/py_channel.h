// Channel, RecvCase and py_select.
#pragma once

#include "py.h"

#include "py_class.h"

namespace bmx::py {

LazyType& channel_type();
LazyType& recv_case_type();

/// The definition of the module function py_select.
PyMethodDef& py_select_def();

}  // namespace bmx::py
