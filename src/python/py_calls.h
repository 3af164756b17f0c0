// The hit path of a call seen before: the values' signature, the way kept
// for it, and that way run, without a line of the package's Python.
#pragma once

#include "py.h"

#include "module_part.h"

namespace bmx::py {

/// The module functions `_call_signature`, `_seen_call` and `_seen_text`.
extern const ModulePart kCallsPart;

}  // namespace bmx::py
