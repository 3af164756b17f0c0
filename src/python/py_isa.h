// The private entry that reports and forces the instruction-set level of the
// engine's loops, so that tests and benchmarks compare every level on one
// machine.
#pragma once

#include "py.h"

#include "module_part.h"

namespace bmx::py {

/// The module function `_isa`; and `_ISA_LEVELS`: the names of the levels
/// this processor supports, lowest first, each one that `_isa` takes.
extern const ModulePart kIsaPart;

}  // namespace bmx::py
