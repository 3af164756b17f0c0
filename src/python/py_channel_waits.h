// The package's private entry points for a channel's synchronous waits: a
// receive or send with a time limit, a select over channels, and read-only
// arrays over the buffers they hand over.
#pragma once

#include "py.h"

#include "module_part.h"

namespace bmx::py {

/// The module functions `_recv_array`, `_buffered`, `_as_array`,
/// `_recv_until`, `_send_until` and `_select_until`; and `_CHANNEL_CLOSED`,
/// the message of the RuntimeError a channel raises when it is closed, so
/// that the package tells it from other errors without restating it.
extern const ModulePart kChannelWaitsPart;

}  // namespace bmx::py
