// The package's private entry points for asynchronous work: submissions that
// return at once, receives and sends that settle later, the settle queue the
// package drains, and channel waits with a time limit.
#pragma once

#include "py.h"

namespace bmx::py {

/// The module functions `_go_async`, `_recv_async`, `_send_async`,
/// `_withdraw`, `_withdraw_receive`, `_give_back`, `_take_settled`,
/// `_recv_array`, `_as_array`, `_recv_until`, `_send_until` and `_select_until`,
/// for add_functions().
PyMethodDef* task_functions();

/// Sets `_CHANNEL_CLOSED`, the message of the RuntimeError a channel raises
/// when it is closed, so that the package tells it from other errors without
/// restating it.
bool add_channel_closed_text(PyObject* module);

}  // namespace bmx::py
