// Running a submission and settling its task.
#include "submit.h"

#include "delivery.h"
#include "task_runner.h"

namespace bmx {

namespace {

/// How a result reaches its output channel: enqueue_delivery or deliver_when_room.
using Deliver = void (*)(DeliveryJob job);

// The body of a map whose task is already running.
void compute_map(const TaskRef& task, const MapContent& spec, const std::optional<ChannelHandle>& out,
                 Deliver deliver) {
  Result<BufferRef> outcome = execute_map(spec);
  if (!outcome.ok()) {
    task->fail(std::move(outcome).error());
    return;
  }
  BufferRef result = std::move(outcome).value();
  if (!out) {
    task->complete(std::move(result));
    return;
  }
  // The task's output and the delivered message share one storage.
  task->mark_delivery_queued(result);
  deliver(DeliveryJob{out->sending_only(), task, std::move(result)});
}

void compute_reduce(const TaskRef& task, const ReduceContent& spec, const std::optional<ChannelHandle>& out,
                    Deliver deliver) {
  const Result<double> outcome = execute_reduce(spec.buffer, spec.op);
  if (!outcome.ok()) {
    task->fail(outcome.error());
    return;
  }
  const double value = outcome.value();
  if (!out) {
    task->complete(value);
    return;
  }
  task->mark_delivery_queued(value);
  deliver(DeliveryJob{out->sending_only(), task, Buffer::from_f64_vec(F64Vec{value})});
}

}  // namespace

void run_map(const TaskRef& task, const MapContent& spec, const std::optional<ChannelHandle>& out) {
  task->mark_running();
  compute_map(task, spec, out, enqueue_delivery);
}

void run_reduce(const TaskRef& task, const ReduceContent& spec, const std::optional<ChannelHandle>& out) {
  task->mark_running();
  compute_reduce(task, spec, out, enqueue_delivery);
}

void submit_map(const TaskRef& task, MapContent spec, std::optional<ChannelHandle> out) {
  run_on_runner(task, [task, spec = std::move(spec), out = std::move(out)] {
    compute_map(task, spec, out, deliver_when_room);
  });
}

void submit_reduce(const TaskRef& task, ReduceContent spec, std::optional<ChannelHandle> out) {
  run_on_runner(task, [task, spec = std::move(spec), out = std::move(out)] {
    compute_reduce(task, spec, out, deliver_when_room);
  });
}

}  // namespace bmx
