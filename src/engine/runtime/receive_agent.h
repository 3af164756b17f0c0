// The receive agent: one detached "bmx-receive" thread per process that waits
// on every channel some asynchronous receive is waiting for, with one select,
// and completes the oldest such receive of a channel with the message it takes
// (or fails it with ChannelClosed for the close marker). However many receives
// wait, they cost one thread and no polling.
//
// A receive is a Task: Created while it waits, Completed with the buffer.
// Withdrawing it (Task::withdraw through withdraw_receive) is refused once a
// message was handed to it. Invariant: a value the agent takes from a channel
// completes exactly one receive, or goes back into that channel (in front of
// everything queued, for any receiver); a receive withdrawn too late to stop
// its completion gives its value back the same way, through ChannelHandle::give_back.
//
// After fork() the child starts a new agent on first use; receives that were
// waiting in the parent stay pending in the child.
#pragma once

#include <optional>

#include "buffer/buffer.h"
#include "channel/channel.h"
#include "result.h"
#include "task.h"

namespace bmx {

/// The outcome at once when a message (or the close marker) is there and no
/// earlier receive waits (`task` is left untouched); else
/// `task` waits with the agent, which settles it. Never waits.
/// Internal failure "failed to spawn receive agent thread: <os error>" when the
/// thread cannot be started.
std::optional<Result<BufferRef>> receive_async(const TaskRef& task, const ChannelHandle& channel);

/// Withdraws a waiting receive and stops the agent waiting on its channel
/// when nothing else waits there; false when it already has its outcome.
/// After a withdrawal, waits (briefly: it nudges the agent) until the agent's
/// round under way has ended, so that a message it took for this receive is
/// back in its channel. Call it without the interpreter lock.
bool withdraw_receive(const TaskRef& task);

}  // namespace bmx
