// Delivery: the process-wide queue of DeliveryJobs and the one detached
// "delivery-worker" thread that sends each job's buffer into its channel and
// settles its task. Submission only queues jobs, which never waits; every wait
// on a channel happens on the worker.
//
// Jobs are handled strictly one at a time in push order, whatever channel they
// target, so a job whose channel has no room holds up every later one.
//
// After fork() the child has no worker thread; its first delivery starts a new
// queue and worker (the parent's queue is abandoned, not destroyed, since its
// lock may have been held by the parent's worker at the fork).
#pragma once

#include "buffer/buffer.h"
#include "channel/channel.h"
#include "task.h"

namespace bmx {

/// One buffer to deliver into one channel for one task; owns its references
/// until it has been handled or skipped.
struct DeliveryJob {
  /// Sending only: a job never keeps its channel receivable, so a delivery
  /// that would wait on a channel nobody can receive from any more fails.
  ChannelHandle channel;
  TaskRef task;
  BufferRef buffer;
};

/// Queues `job` for the delivery worker, starting the worker on the first call
/// in the process (and the first in a forked child). Never waits for the
/// delivery. Internal failure "failed to spawn delivery worker thread: <os
/// error>" if the thread cannot be started (the next call tries again), and
/// "delivery worker channel disconnected: SendError(..)" if the worker is gone.
/// Any thread may call it.
void enqueue_delivery(DeliveryJob job);

/// Sends `job`'s buffer with no thread waiting: at once when there is room,
/// else it parks in the channel's queue, and the receive that makes room
/// completes the task; a close, or the receivers' departure, fails it with
/// ChannelClosed. Unlike enqueue_delivery, no job ever waits behind another.
/// The task must be DeliveryQueued; withdrawing it before a receive claims
/// the buffer cancels the send. Never waits.
void deliver_when_room(DeliveryJob job);

}  // namespace bmx
