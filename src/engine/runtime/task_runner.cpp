// The runner's queue, its one-time start and its loop.
#include "task_runner.h"

#include <cxxabi.h>
#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "internal_failure.h"
#include "per_process.h"

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

// Like the delivery worker, the runner never runs Python code; only a forced
// unwinding (thread cancellation) may end it, and that must reach the end of
// the thread.
void run_loop(WorkQueue* queue) {
  for (;;) {
    Work work = queue->pop();
    if (work.task->start()) run(work);
  }
}

WorkQueue& running_queue() {
  return PerProcess<WorkQueue>::get([] {
    auto fresh = std::make_unique<WorkQueue>();
    try {
      std::thread runner(run_loop, fresh.get());
      pthread_setname_np(runner.native_handle(), "bmx-tasks");
      runner.detach();
    } catch (const std::system_error& error) {
      fail("failed to spawn task runner thread: " + error.code().message());
    }
    return fresh;
  });
}

}  // namespace

void run_on_runner(TaskRef task, std::function<void()> body) {
  running_queue().push(Work{std::move(task), std::move(body)});
}

}  // namespace bmx
