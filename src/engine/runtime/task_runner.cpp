// The runner's queue, its one-time start and its loop.
#include "task_runner.h"

#include <cxxabi.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

#include "internal_failure.h"
#include "service_thread.h"

namespace bmx {

namespace {

struct Work {
  TaskRef task;
  std::function<void()> body;
};

// Unbounded FIFO: many producers, the runner as its one consumer.
class WorkQueue {
 public:
  void push(Work work) {
    {
      const std::scoped_lock lock(mutex_);
      queue_.push_back(std::move(work));
    }
    ready_.notify_one();
  }

  Work pop() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return !queue_.empty(); });
    Work work = std::move(queue_.front());
    queue_.pop_front();
    return work;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  /// Guarded by mutex_.
  std::deque<Work> queue_;
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

void run_loop(WorkQueue& queue) {
  for (;;) {
    Work work = queue.pop();
    if (work.task->start()) run(work);
  }
}

WorkQueue& running_queue() { return service<WorkQueue>("task runner", "bmx-tasks", run_loop); }

}  // namespace

void run_on_runner(TaskRef task, std::function<void()> body) {
  running_queue().push(Work{std::move(task), std::move(body)});
}

}  // namespace bmx
