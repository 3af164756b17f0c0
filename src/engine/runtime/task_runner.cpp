// The runner's queue, its one-time start and its loop.
#include "task_runner.h"

#include <cxxabi.h>

#include <utility>

#include "internal_failure.h"
#include "service_queue.h"
#include "service_thread.h"

namespace bmx {

namespace {

struct Work {
  TaskRef task;
  std::function<void()> body;
};

void run(Work& work) {
  try {
    work.body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const InternalFailure& failure) {
    work.task->fail(ComputeError::internal(failure.message()));
  } catch (const std::exception& error) {
    work.task->fail(ComputeError::internal(error.what()));
  } catch (...) {
    work.task->fail(ComputeError::internal("the task failed with an exception of unknown type"));
  }
}

void run_loop(ServiceQueue<Work>& queue) {
  queue.consume([](Work work) {
    if (work.task->start()) run(work);
  });
}

ServiceQueue<Work>& running_queue() { return service<ServiceQueue<Work>>("task runner", "bmx-tasks", run_loop); }

}  // namespace

void run_on_runner(TaskRef task, std::function<void()> body) {
  if (!running_queue().push(Work{std::move(task), std::move(body)})) fail("task runner stopped");
}

}  // namespace bmx
