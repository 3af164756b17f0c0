// Submission: runs a map or reduce body for a task and settles the task
// from the outcome, handing a successful result with an output channel to the
// delivery worker (a synchronous submission) or to the channel itself (one on
// the task runner).
#pragma once

#include <optional>

#include "channel/channel.h"
#include "execute.h"
#include "task.h"

namespace bmx {

/// Marks `task` running, executes the map and settles the task: Failed on an
/// error; Completed without `out`; with `out`, DeliveryQueued and then a
/// delivery job of the result (the state changes before the job is queued).
/// Runs on the calling thread; call it without the interpreter lock.
void run_map(const TaskRef& task, const MapContent& spec, const std::optional<ChannelHandle>& out);

/// The same for a reduction; with `out` the channel receives a one-element buffer.
void run_reduce(const TaskRef& task, const ReduceContent& spec, const std::optional<ChannelHandle>& out);

/// run_map on the task runner: returns at once; the map starts only if the
/// task is still Created when its turn comes. With `out`, the result waits in
/// the channel itself for room (deliver_when_room), never behind another
/// channel's delivery. Call it without the interpreter lock held or not: it
/// never waits.
void submit_map(const TaskRef& task, MapContent spec, std::optional<ChannelHandle> out);

/// run_reduce on the task runner, as submit_map.
void submit_reduce(const TaskRef& task, ReduceContent spec, std::optional<ChannelHandle> out);

}  // namespace bmx
