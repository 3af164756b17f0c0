// The private entry that reads one variable of a caller's frame, so that an
// expression's names are read from the caller without copying every local.
#pragma once

#include "py.h"

#include "module_part.h"

namespace bmx::py {

/// The module function `_frame_variable`.
extern const ModulePart kFramePart;

}  // namespace bmx::py
