// The delivery queue, its one-time start and the worker loop.
#include "delivery.h"

#include <cxxabi.h>

#include <optional>
#include <utility>

#include "internal_failure.h"
#include "service_queue.h"
#include "service_thread.h"

namespace bmx {

namespace {

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

void run_worker(ServiceQueue<DeliveryJob>& queue) {
  queue.consume([](DeliveryJob job) {
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
  });
}

// The queue to push to, starting the worker if this process (a forked child
// included) has none yet. The queue is never destroyed: its detached worker
// consumes it until the process ends.
ServiceQueue<DeliveryJob>& running_queue() {
  return service<ServiceQueue<DeliveryJob>>("delivery worker", "delivery-worker", run_worker);
}

/// A delivery parked in its channel's queue; the queue claims it through
/// the task and tells it how it ended.
class ParkedDelivery final : public SendClaim {
 public:
  explicit ParkedDelivery(TaskRef task) : task_(std::move(task)) {}

  bool claim() override { return task_->claim_delivery(); }

  void finish(SendStatus status) override {
    if (status == SendStatus::Sent) {
      task_->complete_delivery();
    } else {
      (void)task_->fail(ComputeError::channel_closed());
    }
  }

 private:
  const TaskRef task_;
};

}  // namespace

void deliver_when_room(DeliveryJob job) {
  auto owner = std::make_shared<ParkedDelivery>(job.task);
  const SendStatus status = job.channel.queue().send_or_park(std::move(job.buffer), owner);
  // Nobody else has the task yet unless it parked, so it is told here.
  if (status != SendStatus::Parked && job.task->claim_delivery()) owner->finish(status);
}

void enqueue_delivery(DeliveryJob job) {
  if (!running_queue().push(std::move(job))) fail("delivery worker channel disconnected: SendError(..)");
}

}  // namespace bmx
