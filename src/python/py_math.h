// The package's private entry points of the math modes: which modes there
// are, why one is missing in this process, and (for tests) the instruction
// level fast math runs at.
#pragma once

#include "py.h"

#include "eval/fast_math.h"
#include "module_part.h"

namespace bmx::py {

/// The mode `name` names ("libm" or "fast"); false with ValueError set for
/// another value, and with RuntimeError set (saying why) for a mode this
/// process cannot compute in.
bool read_math_mode(PyObject* name, MathMode& mode);

/// The mode `name` names, or false with ValueError set; whether this process
/// can compute in it is not asked.
bool find_mode(PyObject* name, MathMode& mode);

/// The module function `_math_missing`; `_MATH_MODES`, the names of every
/// mode, and `_FAST_MATH_LOOPS`, the (operation code, dtype code) pairs fast
/// math computes with its own loops.
extern const ModulePart kMathPart;

}  // namespace bmx::py
