// Injector: the queue through which threads outside the pool offer jobs.
//
// Invariants:
//   - `jobs_` is guarded by `mutex_`; `count_` mirrors its size and is read
//     without the lock only as a hint.
//   - Workers take the oldest job; the thread that queued a job takes it back
//     by identity, wherever it sits (several outside threads share the queue).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <deque>
#include <mutex>

namespace bmx {

template <class Job>
class Injector {
 public:
  /// Any thread. Queues `job`.
  void push(Job* job) {
    std::scoped_lock lock(mutex_);
    jobs_.push_back(job);
    count_.store(jobs_.size(), std::memory_order_relaxed);
  }

  /// Any thread. Removes `job` if it is still queued; false when a worker
  /// took it.
  bool take_back(Job* job) {
    std::scoped_lock lock(mutex_);
    const auto found = std::find(jobs_.rbegin(), jobs_.rend(), job);
    if (found == jobs_.rend()) return false;
    jobs_.erase(std::next(found).base());
    count_.store(jobs_.size(), std::memory_order_relaxed);
    return true;
  }

  /// Any thread. Takes the oldest job, or nullptr.
  Job* pop_oldest() {
    // Relaxed: a stale zero only delays the take until the next search; the
    // publisher's epoch bump (WorkerSleep) orders the push before that search.
    if (looks_empty()) return nullptr;
    std::scoped_lock lock(mutex_);
    if (jobs_.empty()) return nullptr;
    Job* job = jobs_.front();
    jobs_.pop_front();
    count_.store(jobs_.size(), std::memory_order_relaxed);
    return job;
  }

  /// Any thread. A hint only.
  bool looks_empty() const { return count_.load(std::memory_order_relaxed) == 0; }

 private:
  std::mutex mutex_;
  /// Queued jobs, oldest first; guarded by `mutex_`.
  std::deque<Job*> jobs_;
  std::atomic<std::size_t> count_{0};
};

}  // namespace bmx
