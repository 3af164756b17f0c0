// The delivery queue, its one-time start and the worker loop.
#include "delivery.h"

#include <cxxabi.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

#include "internal_failure.h"
#include "service_thread.h"

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

void deliver(DeliveryJob job) {
  Task& task = *job.task;
  if (task.is_done()) return;
  task.mark_delivering();
  // With no deadline a send ends only by sending or by failing: closed, or
  // it would wait and no Channel or RecvCase is left to receive, and waiting
  // would stall every later delivery for good.
  const std::optional<Result<void>> sent = job.channel.send_buffer(std::move(job.buffer), std::nullopt);
  check(sent.has_value(), "a delivery send without a deadline timed out");
  if (!sent->ok()) {
    task.fail(sent->error());
    return;
  }
  task.complete_delivery();
}

void run_worker(DeliveryQueue& queue) {
  // However the loop ends, later pushes are refused rather than lost.
  struct MarkConsumerGone {
    DeliveryQueue& queue;
    ~MarkConsumerGone() { queue.mark_consumer_gone(); }
  } const mark_gone{queue};
  for (;;) {
    DeliveryJob job = queue.pop();
    const TaskRef task = job.task;
    // A failure settles its own job's task and never ends the worker.
    try {
      deliver(std::move(job));
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (const InternalFailure& failure) {
      task->fail(ComputeError::internal(failure.message()));
    } catch (const std::exception& error) {
      task->fail(ComputeError::internal(error.what()));
    } catch (...) {
      task->fail(ComputeError::internal("the delivery failed with an exception of unknown type"));
    }
  }
}

// The queue to push to, starting the worker if this process (a forked child
// included) has none yet. The queue is never destroyed: its detached worker
// consumes it until the process ends.
DeliveryQueue& running_queue() { return service<DeliveryQueue>("delivery worker", "delivery-worker", run_worker); }

}  // namespace

void enqueue_delivery(DeliveryJob job) {
  if (!running_queue().push(std::move(job))) fail("delivery worker channel disconnected: SendError(..)");
}

}  // namespace bmx
