// The process-wide pool: created on first use, sized by the thread setting,
// replaced in a forked child.
//
// A forked child forgets every pool of its parent (PerProcess) and builds its
// own on first use; it keeps the parent's thread setting.
//
// Changing the thread setting switches later runs to a pool of the new size.
// Runs already under way finish on the pool they started on, so no pool is
// ever destroyed; a pool of each size is built once per process and reused,
// and the workers of the pools not in use stay parked.
#include <sched.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "internal_failure.h"
#include "no_destructor.h"
#include "per_process.h"
#include "pool.h"

namespace bmx {
namespace {

/// The pools this process built, one per size, and the one in use.
class PoolSet {
 public:
  /// The pool of `workers` workers, built on first need; later runs of this
  /// size use it too.
  WorkPool& use(std::size_t workers) {
    // Acquire pairs with the release store below: the pool is fully built.
    WorkPool* pool = current_.load(std::memory_order_acquire);
    if (pool != nullptr && pool->thread_count() == workers) return *pool;
    const std::scoped_lock lock(mutex_);
    pool = nullptr;
    for (const std::unique_ptr<WorkPool>& built : built_) {
      if (built->thread_count() == workers) pool = built.get();
    }
    if (pool == nullptr) {
      built_.reserve(built_.size() + 1);
      built_.push_back(std::make_unique<WorkPool>(workers));
      pool = built_.back().get();
    }
    current_.store(pool, std::memory_order_release);
    return *pool;
  }

 private:
  /// Held while a pool is chosen or built.
  std::mutex mutex_;
  /// The pool of the current setting, or null until the first use.
  std::atomic<WorkPool*> current_{nullptr};
  /// Every pool built; none is destroyed, since a run may still be under way
  /// on it. Guarded by `mutex_`.
  std::vector<std::unique_ptr<WorkPool>> built_;
};

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
std::size_t workers_for(std::size_t num_threads) { return num_threads > 1 ? num_threads - 1 : 1; }

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

}  // namespace

std::size_t WorkPool::num_threads() {
  // Relaxed: the setting is one value with no data published through it.
  const std::size_t set = thread_setting().num_threads.load(std::memory_order_relaxed);
  return set != 0 ? set : default_num_threads();
}

std::size_t WorkPool::set_num_threads(std::size_t n) {
  check(n >= 1, "the thread count must be at least 1");
  const std::size_t previous = num_threads();
  thread_setting().num_threads.store(n, std::memory_order_relaxed);
  return previous;
}

WorkPool& WorkPool::global() {
  const std::size_t workers = workers_for(num_threads());
  return PerProcess<PoolSet>::get([] { return std::make_unique<PoolSet>(); }).use(workers);
}

}  // namespace bmx
