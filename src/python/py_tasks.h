// The package's private entry points for asynchronous work: submissions that
// return at once, receives and sends that settle later, and the settle queue
// the package drains.
#pragma once

#include "py.h"

#include "module_part.h"

namespace bmx::py {

/// The module functions `_go_async`, `_evaluate_async`,
/// `_typed_evaluate_async`, `_recv_async`, `_send_async`, `_withdraw`,
/// `_withdraw_receive`, `_give_back` and `_take_settled`.
extern const ModulePart kTasksPart;

}  // namespace bmx::py
