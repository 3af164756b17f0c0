// The delivery queue, its one-time start, fork handling and the worker loop.
#include "delivery.h"

#include <pthread.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "internal_failure.h"
#include "no_destructor.h"

namespace bmx {

namespace {

// Unbounded FIFO of jobs: many producers, the worker as its one consumer.
class DeliveryQueue {
 public:
  /// False, dropping the job, when the consumer is gone.
  bool push(DeliveryJob job) {
    {
      const std::scoped_lock lock(mutex_);
      if (consumer_gone_) return false;
      jobs_.push_back(std::move(job));
    }
    ready_.notify_one();
    return true;
  }

  /// The oldest job, waiting while there is none.
  DeliveryJob pop() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return !jobs_.empty(); });
    DeliveryJob job = std::move(jobs_.front());
    jobs_.pop_front();
    return job;
  }

  void mark_consumer_gone() {
    const std::scoped_lock lock(mutex_);
    consumer_gone_ = true;
  }

 private:
  std::mutex mutex_;
  /// Signalled when a job is pushed.
  std::condition_variable ready_;
  /// Guarded by mutex_.
  std::deque<DeliveryJob> jobs_;
  /// The worker has ended. Guarded by mutex_.
  bool consumer_gone_ = false;
};

// The process's producing end: the queue its worker consumes, or null before
// the first delivery (and in a forked child before its first delivery).
struct WorkerSlot {
  std::mutex mutex;
  /// Guarded by mutex. Never freed: the worker uses it for the rest of the process.
  DeliveryQueue* queue = nullptr;
  /// Guarded by mutex.
  bool fork_handlers_installed = false;
};

WorkerSlot& worker_slot() {
  static NoDestructor<WorkerSlot> slot;
  return *slot;
}

// Fork: hold the slot's lock across fork() so that the child never inherits it
// locked, and in the child forget the parent's queue, which no thread there
// consumes. It is leaked, not destroyed: its own lock may have been held at
// the fork by a thread that does not exist in the child.
void lock_slot_for_fork() { worker_slot().mutex.lock(); }
void unlock_slot_in_parent() { worker_slot().mutex.unlock(); }
void reset_slot_in_child() {
  worker_slot().queue = nullptr;
  worker_slot().mutex.unlock();
}

void deliver(DeliveryJob job) {
  Task& task = *job.task;
  if (task.is_done()) return;
  task.mark_delivering();
  if (job.closed->load()) {
    job.buffer.reset();
    task.fail(ComputeError::channel_closed());
    return;
  }
  // Disconnected: the send would wait, and no Channel or RecvCase is left to
  // receive; waiting would stall every later delivery for good.
  SendResult sent = job.sender.send(ChannelMessage(std::move(job.buffer)), std::nullopt);
  if (sent.status == SendStatus::Disconnected) {
    sent.message.reset();
    task.fail(ComputeError::channel_closed());
    return;
  }
  check(sent.status == SendStatus::Sent, "a waiting delivery send did not complete");
  task.complete_delivery();
}

void run_worker(DeliveryQueue* queue) {
  try {
    for (;;) {
      DeliveryJob job = queue->pop();
      const TaskRef task = job.task;
      // A failure settles its own job's task and never ends the worker.
      try {
        deliver(std::move(job));
      } catch (const InternalFailure& failure) {
        task->fail(ComputeError::internal(failure.message()));
      } catch (const std::exception& error) {
        task->fail(ComputeError::internal(error.what()));
      }
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "delivery worker stopped: %s\n", error.what());
  } catch (...) {
    std::fprintf(stderr, "delivery worker stopped\n");
  }
  queue->mark_consumer_gone();
}

std::string os_error_text(const std::error_code& code) {
  return code.message() + " (os error " + std::to_string(code.value()) + ")";
}

// The queue to push to, starting the worker if this process has none yet.
DeliveryQueue& running_queue() {
  WorkerSlot& slot = worker_slot();
  const std::scoped_lock lock(slot.mutex);
  if (slot.queue != nullptr) return *slot.queue;
  if (!slot.fork_handlers_installed) {
    if (pthread_atfork(lock_slot_for_fork, unlock_slot_in_parent, reset_slot_in_child) != 0) {
      fail("failed to install the delivery worker's fork handlers");
    }
    slot.fork_handlers_installed = true;
  }
  auto fresh = std::make_unique<DeliveryQueue>();
  try {
    std::thread worker(run_worker, fresh.get());
    pthread_setname_np(worker.native_handle(), "delivery-worker");
    worker.detach();
  } catch (const std::system_error& error) {
    fail("failed to spawn delivery worker thread: " + os_error_text(error.code()));
  }
  // Deliberately leaked: the detached worker consumes it until the process ends.
  slot.queue = fresh.release();
  return *slot.queue;
}

}  // namespace

void enqueue_delivery(DeliveryJob job) {
  if (!running_queue().push(std::move(job))) fail("delivery worker channel disconnected: SendError(..)");
}

}  // namespace bmx
