// The process-wide pool: created on first use, sized by the thread setting,
// replaced in a forked child.
//
// A forked child forgets its parent's pool (PerProcess) and builds its own on
// first use; it keeps the parent's thread setting.
//
// Changing the thread setting resizes the one pool at once, so that a failure
// to start threads is reported by the change itself, which then leaves the
// setting as it was. Runs under way carry on through a resize (see pool.h).
#include <sched.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "internal_failure.h"
#include "no_destructor.h"
#include "per_process.h"
#include "pool.h"

namespace bmx {
namespace {

/// The thread setting, which a forked child inherits.
struct ThreadSetting {
  /// 0 until set_num_threads is called.
  std::atomic<std::size_t> num_threads{0};
  /// The CPUs this process may run on, read once on first need; 0 before.
  std::atomic<std::size_t> allowed_cpus{0};
};

ThreadSetting& thread_setting() {
  static NoDestructor<ThreadSetting> setting;
  return *setting;
}

/// The CPUs this process may run on, which a container or `taskset` may
/// limit below the machine's count.
std::size_t count_allowed_cpus() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof(allowed), &allowed) == 0) {
    const int count = CPU_COUNT(&allowed);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  const unsigned processors = std::thread::hardware_concurrency();
  return processors == 0 ? 1 : processors;
}

/// The calling thread works beside the pool's workers.
std::size_t workers_for(std::size_t num_threads) { return num_threads - 1; }

/// count_allowed_cpus() of the first call: a system call is too dear for
/// every evaluation.
std::size_t default_num_threads() {
  std::atomic<std::size_t>& cached = thread_setting().allowed_cpus;
  // Relaxed: one value with no data published through it; threads racing
  // here store the same count.
  std::size_t count = cached.load(std::memory_order_relaxed);
  if (count == 0) {
    count = count_allowed_cpus();
    cached.store(count, std::memory_order_relaxed);
  }
  return count;
}

/// This process's pool, and the lock under which set_num_threads resizes it.
struct ProcessPool {
  explicit ProcessPool(std::size_t workers) : pool(workers) {}
  std::mutex mutex;
  WorkPool pool;
};

ProcessPool& process_pool() {
  return PerProcess<ProcessPool>::get(
      [] { return std::make_unique<ProcessPool>(workers_for(WorkPool::num_threads())); });
}

}  // namespace

std::size_t WorkPool::num_threads() {
  // Relaxed: the setting is one value with no data published through it.
  const std::size_t set = thread_setting().num_threads.load(std::memory_order_relaxed);
  return set != 0 ? set : default_num_threads();
}

std::size_t WorkPool::set_num_threads(std::size_t n) {
  check(n >= 1, "the thread count must be at least 1");
  if (n > kMaxThreads) fail("the thread count must be at most " + std::to_string(kMaxThreads));
  // A process without a pool yet gets one of the new size: starting workers
  // only to end them would make setting 1 thread fail where threads are short.
  ProcessPool& process = PerProcess<ProcessPool>::get([n] { return std::make_unique<ProcessPool>(workers_for(n)); });
  // The setting and the pool's size change together.
  const std::scoped_lock lock(process.mutex);
  const std::size_t previous = num_threads();
  process.pool.resize(workers_for(n));
  thread_setting().num_threads.store(n, std::memory_order_relaxed);
  return previous;
}

WorkPool& WorkPool::global() { return process_pool().pool; }

}  // namespace bmx
