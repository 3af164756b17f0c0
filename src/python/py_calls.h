// The hit path of a call seen before: the values' signature, the way kept
// for it, and that way run, without a line of the package's Python; and a
// caller's variable read alone, as that path reads the names of a call.
#pragma once

#include "py.h"

#include "module_part.h"

namespace bmx::py {

/// The module functions `_frame_variable`, `_call_signature`, `_seen_call` and
/// `_seen_text`.
extern const ModulePart kCallsPart;

}  // namespace bmx::py
