// The task runner: one detached "bmx-tasks" thread per process that runs
// submitted work in submission order, so that a submission returns at once.
// Each piece of work still spreads over the worker pool as a call on the
// submitting thread would; the runner only takes the submitter's place.
//
// Work whose task is no longer Created when its turn comes (it was withdrawn)
// is skipped. A started piece runs to its end; cancelling it then is refused.
//
// After fork() the child has no runner thread; its first submission starts a
// new one. Work queued in the parent is not run in the child.
#pragma once

#include <functional>

#include "task.h"

namespace bmx {

/// Queues `body` to run on the runner once `task` has been started there. An
/// exception from `body` fails the task with an internal error. Internal
/// failure "failed to spawn task runner thread: <os error>" when the thread
/// cannot be started. Never waits for the work. Any thread.
void run_on_runner(TaskRef task, std::function<void()> body);

}  // namespace bmx
