// The strict sum carried across the chunks of a chunked array.
#pragma once

#include "py.h"

namespace bmx::py {

/// The module functions defined here (_continue_sum, _finish_sum), as a null-terminated method table.
PyMethodDef* sum_chain_functions();

}  // namespace bmx::py
